// Console variables.
#include "console/convar.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "console/format.h"
#include "host/ICvar.h"

// Built before every other static object of the module, so it heads the
// pending list first and is registered last.
CEmptyConVar s_EmptyVariable QG_INIT_EMPTY_VARIABLE;

namespace {

// Old value texts up to this size (terminator included) are copied to the
// stack during a change; longer ones go to the heap, since an operator can
// set a value of megabytes.
constexpr size_t kOldValueStackSize = 256;

// Formatted numbers ("%f", "%d") are written into buffers of this size.
constexpr int kNumberTextSize = 32;

// Truncation toward zero.  Values outside the signed 32-bit range, and NaN,
// give INT_MIN, as the processor's own truncating conversion does; the
// language leaves that case undefined, so it is decided here.
int TruncateToInt(double d) {
  if (!(d > -2147483649.0 && d < 2147483648.0)) return INT_MIN;
  return static_cast<int>(d);
}

// A copy of pszText on the module heap, or null (also when its size does
// not fit a signed 32-bit count).
char *CopyText(const char *pszText, int *pnSize) {
  const size_t nSize = strlen(pszText) + 1;
  if (nSize > static_cast<size_t>(INT_MAX)) return nullptr;
  char *pszCopy = static_cast<char *>(malloc(nSize));
  if (pszCopy == nullptr) return nullptr;
  memcpy(pszCopy, pszText, nSize);
  *pnSize = static_cast<int>(nSize);
  return pszCopy;
}

}  // namespace

ConVar::ConVar(const char *pszName, const char *pszDefault, int nFlags,
               const char *pszHelpText) {
  ConVar::SetUpVariable(pszName, pszDefault, nFlags, pszHelpText, false, 0.0f,
                        false, 0.0f, nullptr);
}

ConVar::~ConVar() {
  free(m_pszValue);
  m_pszValue = nullptr;
}

bool ConVar::IsCommand() const { return false; }

bool ConVar::HasFlag(int nFlags) const {
  return (m_pRoot->m_nFlags & nFlags) != 0;
}

void ConVar::AddFlags(int nFlags) { m_pRoot->m_nFlags |= nFlags; }

int ConVar::GetFlags() const { return m_pRoot->m_nFlags; }

const char *ConVar::GetName() const { return m_pRoot->m_pszName; }

const char *ConVar::GetHelpText() const { return m_pRoot->m_pszHelpText; }

bool ConVar::IsRegistered() const { return m_pRoot->m_bRegistered; }

void ConVar::SetUpVariable(const char *pszName, const char *pszDefault,
                           int nFlags, const char *pszHelpText, bool bHasMin,
                           float flMin, bool bHasMax, float flMax,
                           VarChangeFn pfnOnChange) {
  m_pRoot = this;
  m_pszDefault = pszDefault != nullptr ? pszDefault : "";

  // Without a buffer the variable still works: it reads as the empty text
  // and takes a buffer at its first change.
  free(m_pszValue);
  m_nValueSize = 0;
  m_pszValue = CopyText(m_pszDefault, &m_nValueSize);

  m_bHasMin = bHasMin;
  m_flMin = flMin;
  m_bHasMax = bHasMax;
  m_flMax = flMax;
  m_pfnOnChange = pfnOnChange;

  // The integer comes from the double, not from the float: "16777217" is
  // the float 2^24 but the integer 2^24 + 1.  The default is not clamped.
  const double d = atof(m_pszDefault);
  m_flValue = static_cast<float>(d);
  m_nIntValue = TruncateToInt(d);

  SetUpBase(pszName, pszHelpText, nFlags);
}

bool ConVar::ClampToBounds(float &flValue) {
  if (m_bHasMin && m_flMin > flValue) {
    flValue = m_flMin;
    return true;
  }
  if (m_bHasMax && m_flMax < flValue) {
    flValue = m_flMax;
    return true;
  }
  return false;
}

void ConVar::ApplyText(const char *pszValue) {
  const float flOldValue = m_flValue;
  const int nOldIntValue = m_nIntValue;

  float flValue = static_cast<float>(atof(pszValue));
  char szClamped[kNumberTextSize];
  const char *pszStore = pszValue;
  if (ClampToBounds(flValue)) {
    FormatBounded(szClamped, sizeof(szClamped), "%f",
                  static_cast<double>(flValue));
    pszStore = szClamped;
  }
  m_flValue = flValue;
  m_nIntValue = TruncateToInt(flValue);

  if (m_nFlags & FCVAR_NEVER_AS_STRING) return;
  if (!StoreText(pszStore, flOldValue)) {
    m_flValue = flOldValue;
    m_nIntValue = nOldIntValue;
  }
}

void ConVar::ApplyFloat(float flValue) {
  // Compared before clamping: a value beyond a bound never equals the
  // stored (clamped) one, so repeating it notifies again.
  if (flValue == m_flValue) return;
  ClampToBounds(flValue);

  const float flOldValue = m_flValue;
  const int nOldIntValue = m_nIntValue;
  m_flValue = flValue;
  m_nIntValue = TruncateToInt(flValue);

  if (m_nFlags & FCVAR_NEVER_AS_STRING) return;
  char szValue[kNumberTextSize];
  FormatBounded(szValue, sizeof(szValue), "%f", static_cast<double>(flValue));
  if (!StoreText(szValue, flOldValue)) {
    m_flValue = flOldValue;
    m_nIntValue = nOldIntValue;
  }
}

void ConVar::ApplyInt(int nValue) {
  if (nValue == m_nIntValue) return;

  float flValue = static_cast<float>(nValue);
  const int nStored = ClampToBounds(flValue) ? TruncateToInt(flValue) : nValue;

  const float flOldValue = m_flValue;
  const int nOldIntValue = m_nIntValue;
  m_nIntValue = nStored;
  m_flValue = flValue;

  if (m_nFlags & FCVAR_NEVER_AS_STRING) return;
  char szValue[kNumberTextSize];
  FormatBounded(szValue, sizeof(szValue), "%d", nStored);
  if (!StoreText(szValue, flOldValue)) {
    m_flValue = flOldValue;
    m_nIntValue = nOldIntValue;
  }
}

void ConVar::ApplyColor(PackedColor value) {
  ApplyInt(static_cast<int>(value.m_nValue));
}

void ConVar::ReplaceText(const char *pszNewValue, float flOldValue) {
  StoreText(pszNewValue, flOldValue);
}

bool ConVar::StoreText(const char *pszNewValue, float flOldValue) {
  const size_t nNewSize = strlen(pszNewValue) + 1;
  if (nNewSize > static_cast<size_t>(INT_MAX)) return false;

  char szStackOld[kOldValueStackSize];
  char *pszHeapOld = nullptr;  // a long old text, released on return
  char *pszReleased = nullptr;  // a replaced buffer, released on return
  const char *pszOld;

  if (static_cast<int>(nNewSize) > m_nValueSize) {
    // A new buffer of exactly the new size.  The old buffer itself serves
    // as the old text until the receivers have seen it.
    int nSize = 0;
    char *pszBuffer = CopyText(pszNewValue, &nSize);
    if (pszBuffer == nullptr) return false;
    pszOld = m_pszValue != nullptr ? m_pszValue : "";
    pszReleased = m_pszValue;
    m_pszValue = pszBuffer;
    m_nValueSize = nSize;
  } else {
    // The buffer is reused (m_nValueSize >= 1, so there is one): keep a
    // copy of the old text first.
    const size_t nOldSize = strlen(m_pszValue) + 1;
    if (nOldSize <= sizeof(szStackOld)) {
      memcpy(szStackOld, m_pszValue, nOldSize);
      pszOld = szStackOld;
    } else {
      pszHeapOld = static_cast<char *>(malloc(nOldSize));
      if (pszHeapOld == nullptr) return false;
      memcpy(pszHeapOld, m_pszValue, nOldSize);
      pszOld = pszHeapOld;
    }
    // The new text may be this variable's own value.
    memmove(m_pszValue, pszNewValue, nNewSize);
  }

  // The own callback always runs before the broadcast.
  if (m_pfnOnChange != nullptr) {
    m_pfnOnChange(static_cast<IConVar *>(this), pszOld, flOldValue);
  }
  // Without a console service there is nobody to broadcast to.
  if (g_pCVar != nullptr) {
    g_pCVar->CallGlobalChangeCallbacks(this, pszOld, flOldValue);
  }

  free(pszHeapOld);
  free(pszReleased);
  return true;
}

void ConVar::SetValue(PackedColor value) { m_pRoot->ApplyColor(value); }

void ConVar::SetValue(int nValue) { m_pRoot->ApplyInt(nValue); }

void ConVar::SetValue(float flValue) { m_pRoot->ApplyFloat(flValue); }

void ConVar::SetValue(const char *pszValue) { m_pRoot->ApplyText(pszValue); }

const char *ConVar::GetRootName() const { return m_pRoot->m_pszName; }

int ConVar::GetIndex() const { return 0; }

CEmptyConVar::CEmptyConVar() : ConVar("", "0", 0, nullptr) {}

bool CEmptyConVar::HasFlag(int nFlags) const { return false; }

const char *CEmptyConVar::GetName() const { return ""; }
