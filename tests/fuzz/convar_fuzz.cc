// Drives one console variable through a fuzzed series of value changes:
// texts of arbitrary bytes (ApplyText), the variable's own value set again,
// and the number setters in between, so that the value buffer is grown,
// reused and replaced in every order.  The variable has no bounds, one of
// them, both (crossed included) or FCVAR_NEVER_AS_STRING, as the input says.
//
// Every text goes in as an exact-size heap copy, so the address sanitizer
// sees any read past its terminator.  After every change the checks below
// hold the invariants of the value: a terminated text that fits its buffer,
// the stored text being the one given unless a bound moved the number, the
// three forms agreeing, and the own callback seeing the previous text.
#include <fuzzer/FuzzedDataProvider.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "console/convar.h"
#include "console/format.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// The text the variable showed before the change in progress, for the own
// callback to compare with.
std::string s_strExpectedOld;
bool s_bCheckOld = false;
int s_nCallbacks = 0;

void OnChange(IConVar *pVar, const char *pszOld, float flOld) {
  ++s_nCallbacks;
  CHECK(pszOld != nullptr);
  if (s_bCheckOld) CHECK(s_strExpectedOld == pszOld);
}

class FuzzConVar : public ConVar {
 public:
  // Never listed: the fuzzer makes and ends one variable per input, and no
  // registration walk ever runs in this process.
  FuzzConVar(const char *pszDefault, int nFlags)
      : ConVar("fuzz_var", pszDefault, nFlags | FCVAR_UNREGISTERED, "") {}

  void SetUp(const char *pszDefault, int nFlags, bool bHasMin, float flMin,
             bool bHasMax, float flMax) {
    SetUpVariable("fuzz_var", pszDefault, nFlags | FCVAR_UNREGISTERED, "",
                  bHasMin, flMin, bHasMax, flMax, &OnChange);
  }
  void Apply(const char *pszValue) { ApplyText(pszValue); }

  const char *RawValue() const { return m_pszValue; }
  int ValueSize() const { return m_nValueSize; }
  bool HasMin() const { return m_bHasMin; }
  bool HasMax() const { return m_bHasMax; }
  float Min() const { return m_flMin; }
  float Max() const { return m_flMax; }
};

float FloatFromBits(uint32_t nBits) {
  float fl;
  memcpy(&fl, &nBits, sizeof fl);
  return fl;
}

// An exact-size heap copy of the text up to its first NUL.
char *HeapText(const std::string &str) {
  const size_t nLength = strlen(str.c_str());
  char *psz = static_cast<char *>(malloc(nLength + 1));
  memcpy(psz, str.c_str(), nLength + 1);
  return psz;
}

void CheckValue(const FuzzConVar &var, bool bNeverAsString) {
  const char *psz = var.GetString();
  CHECK(psz != nullptr);
  const size_t nLength = strlen(psz);  // terminated, or ASan reports
  if (bNeverAsString) {
    CHECK(strcmp(psz, "FCVAR_NEVER_AS_STRING") == 0);
    return;
  }
  if (var.RawValue() != nullptr) {
    CHECK(var.ValueSize() >= 0);
    CHECK(static_cast<size_t>(var.ValueSize()) >= nLength + 1);
  }
}

// After ApplyText(pszGiven): the text is the one given, unless a bound moved
// the number, in which case it is that number as "%f".  With ordered bounds
// the number lies between them (NaN passes the bounds).
void CheckAppliedText(const FuzzConVar &var, const char *pszGiven) {
  const char *psz = var.GetString();
  const float fl = var.GetFloat();
  // The integer is the stored float truncated toward zero, INT_MIN outside
  // the 32-bit range and for NaN.  (SetValue(int) alone keeps an integer
  // that the float cannot hold exactly.)
  const double d = fl;
  CHECK(var.GetInt() == ((d > -2147483649.0 && d < 2147483648.0)
                             ? static_cast<int>(d)
                             : INT_MIN));
  if (strcmp(psz, pszGiven) != 0) {
    CHECK(var.HasMin() || var.HasMax());
    char szClamped[32];
    FormatBounded(szClamped, sizeof szClamped, "%f", static_cast<double>(fl));
    CHECK(strcmp(psz, szClamped) == 0);
    CHECK((var.HasMin() && fl == var.Min()) ||
          (var.HasMax() && fl == var.Max()));
  }
  if (isnan(fl)) return;
  const bool bOrdered =
      !(var.HasMin() && var.HasMax()) || var.Min() <= var.Max();
  if (bOrdered && var.HasMin() && !isnan(var.Min())) CHECK(fl >= var.Min());
  if (bOrdered && var.HasMax() && !isnan(var.Max())) CHECK(fl <= var.Max());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t nMode = input.ConsumeIntegral<uint8_t>();
  const bool bHasMin = (nMode & 1) != 0;
  const bool bHasMax = (nMode & 2) != 0;
  const bool bNeverAsString = (nMode & 0x1C) == 0x1C;  // rare on purpose
  const int nFlags = bNeverAsString ? FCVAR_NEVER_AS_STRING : 0;
  // Any bit pattern: the infinities and NaN as bounds too.
  const float flMin = FloatFromBits(input.ConsumeIntegral<uint32_t>());
  const float flMax = FloatFromBits(input.ConsumeIntegral<uint32_t>());

  char *pszDefault = HeapText(input.ConsumeRandomLengthString(64));
  {
    FuzzConVar var(pszDefault, nFlags);
    var.SetUp(pszDefault, nFlags, bHasMin, flMin, bHasMax, flMax);
    s_nCallbacks = 0;
    CheckValue(var, bNeverAsString);
    if (!bNeverAsString) CHECK(strcmp(var.GetString(), pszDefault) == 0);

    while (input.remaining_bytes() > 0) {
      s_strExpectedOld = var.GetString();
      s_bCheckOld = !bNeverAsString;
      const int nCallbacksBefore = s_nCallbacks;
      switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
        case 1: {
          char *pszValue = HeapText(input.ConsumeRandomLengthString(512));
          var.Apply(pszValue);
          if (!bNeverAsString) CheckAppliedText(var, pszValue);
          free(pszValue);
          // ApplyText does not compare: every text change notifies once.
          CHECK(s_nCallbacks == nCallbacksBefore + (bNeverAsString ? 0 : 1));
          break;
        }
        case 2: {
          // The variable's own text as the new one: the buffer is both the
          // source and the destination.
          const std::string strBefore = var.GetString();
          var.Apply(var.GetString());
          if (!bNeverAsString) CheckAppliedText(var, strBefore.c_str());
          break;
        }
        case 3:
          var.SetValue(input.ConsumeIntegral<int>());
          break;
        case 4:
          var.SetValue(FloatFromBits(input.ConsumeIntegral<uint32_t>()));
          break;
      }
      CHECK(s_nCallbacks <= nCallbacksBefore + 1);
      CheckValue(var, bNeverAsString);
    }
    s_bCheckOld = false;
  }
  free(pszDefault);
  return 0;
}
