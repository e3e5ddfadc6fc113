// The conversion table classes.
#include "text/charconversion.h"

#include <string.h>

CUtlCharConversion::CUtlCharConversion(char cEscapeChar,
                                       const char *pszDelimiter, int nCount,
                                       const EscapePair *pPairs)
    : m_cEscapeChar(cEscapeChar),
      m_pszDelimiter(pszDelimiter),
      m_nDelimiterLength(static_cast<int>(strlen(pszDelimiter))),
      m_nCount(0),
      m_nMaxEscapeLength(0) {
  memset(m_pList, 0, sizeof(m_pList));
  for (int i = 0; i < MAX_ESCAPE_CHARS; ++i) {
    m_pReplacements[i].m_nLength = 0;
    m_pReplacements[i].m_pszEscape = nullptr;
  }

  // The list has MAX_ESCAPE_CHARS places; pairs beyond them are dropped.
  if (nCount < 0) nCount = 0;
  if (nCount > MAX_ESCAPE_CHARS) nCount = MAX_ESCAPE_CHARS;
  m_nCount = nCount;

  for (int i = 0; i < nCount; ++i) {
    const EscapePair &pair = pPairs[i];
    m_pList[i] = pair.m_cChar;
    // A character outside 0..127 keeps its place in the list but gets no
    // entry, so it is never found.
    const int nIndex = IndexOf(pair.m_cChar);
    if (nIndex < 0 || pair.m_pszEscape == nullptr) continue;
    EscapeEntry &entry = m_pReplacements[nIndex];
    entry.m_pszEscape = pair.m_pszEscape;
    entry.m_nLength = static_cast<int>(strlen(pair.m_pszEscape));
    if (entry.m_nLength > m_nMaxEscapeLength) {
      m_nMaxEscapeLength = entry.m_nLength;
    }
  }
}

EscapeEntry CUtlCharConversion::GetEntry(char c) const {
  const int nIndex = IndexOf(c);
  if (nIndex < 0) return EscapeEntry{0, nullptr};
  return m_pReplacements[nIndex];
}

char CUtlCharConversion::DecodeEscape(const char *pszText, int *pnLength) {
  for (int i = 0; i < m_nCount; ++i) {
    const int nIndex = IndexOf(m_pList[i]);
    if (nIndex < 0) continue;
    const EscapeEntry &entry = m_pReplacements[nIndex];
    // The whole text must equal the escape text, terminator included.
    if (entry.m_pszEscape != nullptr &&
        strcmp(entry.m_pszEscape, pszText) == 0) {
      *pnLength = entry.m_nLength;
      return m_pList[i];
    }
  }
  *pnLength = 0;
  return 0;
}

CUtlCStringConversion::CUtlCStringConversion(char cEscapeChar,
                                             const char *pszDelimiter,
                                             int nCount,
                                             const EscapePair *pPairs)
    : CUtlCharConversion(cEscapeChar, pszDelimiter, nCount, pPairs) {
  memset(m_pReplacementMap, 0, sizeof(m_pReplacementMap));
  // The pairs kept by the general table; a later pair whose escape text
  // begins with the same character wins.
  for (int i = 0; i < m_nCount; ++i) {
    // Like the general table, a character outside 0..127 is never found.
    if (pPairs[i].m_pszEscape == nullptr || IndexOf(pPairs[i].m_cChar) < 0) {
      continue;
    }
    const int nIndex = IndexOf(pPairs[i].m_pszEscape[0]);
    if (nIndex < 0) continue;
    m_pReplacementMap[nIndex] = pPairs[i].m_cChar;
  }
}

char CUtlCStringConversion::DecodeEscape(const char *pszText, int *pnLength) {
  const int nIndex = IndexOf(pszText[0]);
  const char c = nIndex >= 0 ? m_pReplacementMap[nIndex] : 0;
  *pnLength = c != 0 ? 1 : 0;
  return c;
}

CUtlNoEscConversion::CUtlNoEscConversion(char cEscapeChar,
                                         const char *pszDelimiter, int nCount,
                                         const EscapePair *pPairs)
    : CUtlCharConversion(cEscapeChar, pszDelimiter, nCount, pPairs) {}

char CUtlNoEscConversion::DecodeEscape(const char *pszText, int *pnLength) {
  *pnLength = 0;
  return 0;
}
