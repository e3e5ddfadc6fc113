// Character conversion tables for quoted-text formats: the character that
// introduces an escape, the text that delimits a quoted string, and for each
// special character the short escape text that stands for it after the
// escape character.
//
// CUtlCharConversion     the general table; decoding compares whole texts.
// CUtlCStringConversion  C string literal escapes; decoding is one lookup
//                        on the first character.
// CUtlNoEscConversion    a format without escapes; decodes nothing.
//
// Characters are taken as signed 8-bit values.  Only 0..127 index a table;
// any other character is never stored and never found, so no table is read
// or written outside its 255 places.  At most 255 pairs are kept.  Tables
// change only at construction, own nothing and allocate nothing; any thread
// may read them afterwards.
#ifndef QUELLGATE_TEXT_CHARCONVERSION_H_
#define QUELLGATE_TEXT_CHARCONVERSION_H_

// One input record of construction: a character and its escape text (not
// copied; must outlive the table).
struct EscapePair {
  char m_cChar;
  const char *m_pszEscape;
};

// The per-character record: the escape text and its length, or null and 0
// when the character has no pair.
struct EscapeEntry {
  int m_nLength;
  const char *m_pszEscape;
};

class CUtlCharConversion {
 public:
  enum { MAX_ESCAPE_CHARS = 255 };

  CUtlCharConversion(char cEscapeChar, const char *pszDelimiter, int nCount,
                     const EscapePair *pPairs);

  // pszText is the position just after an escape character.  Answers the
  // character that the escape found there stands for and stores in
  // *pnLength how many characters of pszText it occupies; answers 0 and
  // stores 0 when nothing is found.  The general table matches only when
  // the whole of pszText equals an escape text.
  virtual char DecodeEscape(const char *pszText, int *pnLength);

  char GetEscapeChar() const { return m_cEscapeChar; }
  const char *GetDelimiter() const { return m_pszDelimiter; }
  int GetDelimiterLength() const { return m_nDelimiterLength; }
  int GetPairCount() const { return m_nCount; }
  int GetMaxEscapeLength() const { return m_nMaxEscapeLength; }
  // The place-th character of the pair list (0-based, below the count).
  char GetListChar(int nPlace) const { return m_pList[nPlace]; }
  // The entry of a character; an empty entry for characters outside 0..127.
  EscapeEntry GetEntry(char c) const;

 protected:
  // The table place of a character: its code when that lies in 0..127,
  // otherwise -1.
  static int IndexOf(char c) {
    const signed char s = static_cast<signed char>(c);
    return s >= 0 ? s : -1;
  }

  char m_cEscapeChar;
  const char *m_pszDelimiter;
  int m_nDelimiterLength;
  int m_nCount;
  int m_nMaxEscapeLength;
  char m_pList[MAX_ESCAPE_CHARS];
  EscapeEntry m_pReplacements[MAX_ESCAPE_CHARS];
};

class CUtlCStringConversion : public CUtlCharConversion {
 public:
  CUtlCStringConversion(char cEscapeChar, const char *pszDelimiter, int nCount,
                        const EscapePair *pPairs);

  // Looks up only the first character of pszText; length 1 when found.
  char DecodeEscape(const char *pszText, int *pnLength) override;

 private:
  // Indexed by the first character of an escape text: the character it
  // stands for, or 0.
  char m_pReplacementMap[MAX_ESCAPE_CHARS];
};

class CUtlNoEscConversion : public CUtlCharConversion {
 public:
  CUtlNoEscConversion(char cEscapeChar, const char *pszDelimiter, int nCount,
                      const EscapePair *pPairs);

  // Decodes nothing: answers 0 with length 0.
  char DecodeEscape(const char *pszText, int *pnLength) override;
};

// Built at start-up, after the placeholder console variable; never change.
// Backslash escapes of C string literals, delimiter "\"".
extern CUtlCStringConversion g_CStringEscapeTable;
// Escape character 0x7F with one pair (0x7F, ""), delimiter "\"".
extern CUtlNoEscConversion g_NoEscapeTable;

#endif  // QUELLGATE_TEXT_CHARCONVERSION_H_
