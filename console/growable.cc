// The out-of-line parts of the byte block and the text string.
#include "console/growable.h"

void CByteBlock::Set(const void *pData, int nLength) {
  if (pData == nullptr || nLength < 0) nLength = 0;
  m_nLength = nLength;

  // The source may lie in this very block, which growth can move: keep its
  // offset so it can be found again afterwards.
  const unsigned char *pSource = static_cast<const unsigned char *>(pData);
  const unsigned char *pOld = m_Memory.Base();
  const bool bInside = pOld != nullptr && pSource >= pOld &&
                       pSource < pOld + m_Memory.Capacity();
  const int nOffset = bInside ? static_cast<int>(pSource - pOld) : 0;
  const int nOldCapacity = m_Memory.Capacity();

  if (m_nLength > m_Memory.Capacity()) {
    m_Memory.Grow(m_nLength - m_Memory.Capacity());
    // A block that cannot grow keeps what fits.
    if (m_nLength > m_Memory.Capacity()) m_nLength = m_Memory.Capacity();
  }
  if (m_nLength == 0) return;

  unsigned char *pTarget = m_Memory.Base();
  if (bInside) {
    // Only the bytes of the old block are the caller's data.
    const int nAvailable = nOldCapacity - nOffset;
    pSource = pTarget + nOffset;
    if (m_nLength > nAvailable) m_nLength = nAvailable;
    memmove(pTarget, pSource, static_cast<size_t>(m_nLength));
  } else if (pSource < pTarget + m_nLength && pTarget < pSource + nLength) {
    memmove(pTarget, pSource, static_cast<size_t>(m_nLength));
  } else {
    memcpy(pTarget, pSource, static_cast<size_t>(m_nLength));
  }
}

CTextString::CTextString(const char *pszText) {
  if (pszText != nullptr) {
    m_Storage.Set(pszText, static_cast<int>(strlen(pszText)) + 1);
  } else {
    m_Storage.Set(nullptr, 0);
  }
}

CTextString::CTextString(const CTextString &other) {
  const char *pszText = other.Get();
  if (pszText != nullptr) {
    m_Storage.Set(pszText, static_cast<int>(strlen(pszText)) + 1);
  } else {
    m_Storage.Set(nullptr, 0);
  }
}

CTextString::~CTextString() { m_Storage.Purge(); }
