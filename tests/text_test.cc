// The character conversion tables and the two static escape tables.
#include <string.h>

#include "gtest/gtest.h"
#include "text/charconversion.h"

namespace {

// The C string literal pairs, as the static table is built from.
const EscapePair kCPairs[] = {
    {'\n', "n"}, {'\t', "t"}, {'\v', "v"}, {'\b', "b"},
    {'\r', "r"}, {'\f', "f"}, {'\a', "a"}, {'\\', "\\"},
    {'?', "?"},  {'\'', "'"}, {'"', "\""},
};
constexpr int kCPairCount = sizeof(kCPairs) / sizeof(kCPairs[0]);

struct DecodeCase {
  const char *m_pszText;
  char m_cExpected;
  int m_nExpectedLength;
};

void ExpectDecodes(CUtlCharConversion &table, const DecodeCase *pCases,
                   size_t nCases) {
  for (size_t i = 0; i < nCases; ++i) {
    const DecodeCase &test = pCases[i];
    int nLength = -7;
    EXPECT_EQ(table.DecodeEscape(test.m_pszText, &nLength), test.m_cExpected)
        << "text \"" << test.m_pszText << "\"";
    EXPECT_EQ(nLength, test.m_nExpectedLength)
        << "text \"" << test.m_pszText << "\"";
  }
}

TEST(CStringEscapeTable, Shape) {
  CUtlCharConversion &table = g_CStringEscapeTable;
  EXPECT_EQ(table.GetEscapeChar(), '\\');
  EXPECT_STREQ(table.GetDelimiter(), "\"");
  EXPECT_EQ(table.GetDelimiterLength(), 1);
  EXPECT_EQ(table.GetPairCount(), kCPairCount);
  EXPECT_EQ(table.GetMaxEscapeLength(), 1);
  for (int i = 0; i < kCPairCount; ++i) {
    EXPECT_EQ(table.GetListChar(i), kCPairs[i].m_cChar);
  }
  for (int c = 0; c < 128; ++c) {
    const EscapeEntry entry = table.GetEntry(static_cast<char>(c));
    const EscapePair *pPair = nullptr;
    for (const EscapePair &pair : kCPairs) {
      if (pair.m_cChar == c) pPair = &pair;
    }
    if (pPair == nullptr) {
      EXPECT_EQ(entry.m_nLength, 0) << c;
      EXPECT_EQ(entry.m_pszEscape, nullptr) << c;
    } else {
      EXPECT_EQ(entry.m_nLength, 1) << c;
      EXPECT_STREQ(entry.m_pszEscape, pPair->m_pszEscape) << c;
    }
  }
  // The last pair's escape text equals the delimiter.
  EXPECT_STREQ(table.GetEntry('"').m_pszEscape, table.GetDelimiter());
}

TEST(CStringEscapeTable, DecodesByTheFirstCharacter) {
  static const DecodeCase kCases[] = {
      {"n", '\n', 1},  {"nx", '\n', 1}, {"t", '\t', 1},   {"v", '\v', 1},
      {"b", '\b', 1},  {"r", '\r', 1},  {"f", '\f', 1},   {"a", '\a', 1},
      {"\\", '\\', 1}, {"?", '?', 1},   {"'", '\'', 1},   {"\"", '"', 1},
      {"\"tail", '"', 1}, {"x", 0, 0},  {"", 0, 0},       {"A", 0, 0},
      {"\x80", 0, 0},  {"\xff", 0, 0},  {"\x7f", 0, 0},
  };
  ExpectDecodes(g_CStringEscapeTable, kCases,
                sizeof(kCases) / sizeof(kCases[0]));
}

TEST(NoEscapeTable, ShapeAndDecodesNothing) {
  CUtlCharConversion &table = g_NoEscapeTable;
  EXPECT_EQ(table.GetEscapeChar(), 0x7F);
  EXPECT_STREQ(table.GetDelimiter(), "\"");
  EXPECT_EQ(table.GetDelimiterLength(), 1);
  EXPECT_EQ(table.GetPairCount(), 1);
  EXPECT_EQ(table.GetMaxEscapeLength(), 0);
  const EscapeEntry entry = table.GetEntry(0x7F);
  EXPECT_EQ(entry.m_nLength, 0);
  ASSERT_NE(entry.m_pszEscape, nullptr);
  EXPECT_STREQ(entry.m_pszEscape, "");
  EXPECT_EQ(table.GetEntry('A').m_pszEscape, nullptr);
  EXPECT_EQ(table.GetEntry('A').m_nLength, 0);

  static const DecodeCase kCases[] = {
      {"n", 0, 0}, {"", 0, 0}, {"\"", 0, 0}, {"\x7f", 0, 0},
  };
  ExpectDecodes(table, kCases, sizeof(kCases) / sizeof(kCases[0]));
}

// The general table needs the whole text to equal an escape text.
TEST(GeneralTable, DecodesWholeTextsOnly) {
  CUtlCharConversion table('\\', "\"", kCPairCount, kCPairs);
  EXPECT_EQ(table.GetMaxEscapeLength(), 1);
  static const DecodeCase kCases[] = {
      {"n", '\n', 1}, {"nx", 0, 0}, {"\"", '"', 1}, {"x", 0, 0}, {"", 0, 0},
  };
  ExpectDecodes(table, kCases, sizeof(kCases) / sizeof(kCases[0]));
}

TEST(GeneralTable, LaterPairsOverwriteAndLongestEscapeCounts) {
  static const EscapePair kPairs[] = {
      {'x', "ab"}, {'y', "abc"}, {'x', "q"}, {'z', ""},
  };
  CUtlCharConversion general('\\', "'", 4, kPairs);
  EXPECT_EQ(general.GetMaxEscapeLength(), 3);
  EXPECT_EQ(general.GetDelimiterLength(), 1);
  EXPECT_STREQ(general.GetEntry('x').m_pszEscape, "q");
  EXPECT_EQ(general.GetEntry('x').m_nLength, 1);
  EXPECT_EQ(general.GetListChar(0), 'x');
  EXPECT_EQ(general.GetListChar(2), 'x');
  static const DecodeCase kGeneral[] = {
      {"ab", 0, 0}, {"q", 'x', 1}, {"abc", 'y', 3}, {"", 'z', 0},
  };
  ExpectDecodes(general, kGeneral, sizeof(kGeneral) / sizeof(kGeneral[0]));

  // In the C-string table a later pair whose escape begins with the same
  // character wins.
  CUtlCStringConversion cstring('\\', "'", 4, kPairs);
  static const DecodeCase kCString[] = {
      {"a", 'y', 1}, {"q", 'x', 1}, {"", 'z', 1},
  };
  ExpectDecodes(cstring, kCString, sizeof(kCString) / sizeof(kCString[0]));
}

// Characters outside 0..127 are never stored or found, so no table place
// outside the 255 is touched.
TEST(GeneralTable, CharactersOutsideTheTableAreIgnored) {
  static const EscapePair kPairs[] = {
      {static_cast<char>(0x80), "n"},
      {static_cast<char>(0xFF), "\xff"},
      {'\n', "\x90rest"},
      {'k', "k"},
  };
  CUtlCharConversion general('\\', "\"", 4, kPairs);
  CUtlCStringConversion cstring('\\', "\"", 4, kPairs);
  EXPECT_EQ(general.GetPairCount(), 4);
  EXPECT_EQ(general.GetEntry(static_cast<char>(0x80)).m_pszEscape, nullptr);
  EXPECT_EQ(general.GetEntry(static_cast<char>(0xFF)).m_nLength, 0);
  static const DecodeCase kGeneral[] = {
      {"n", 0, 0}, {"\xff", 0, 0}, {"\x90rest", '\n', 5}, {"k", 'k', 1},
  };
  ExpectDecodes(general, kGeneral, sizeof(kGeneral) / sizeof(kGeneral[0]));
  static const DecodeCase kCString[] = {
      {"n", 0, 0}, {"\xff", 0, 0}, {"\x90", 0, 0}, {"k", 'k', 1},
  };
  ExpectDecodes(cstring, kCString, sizeof(kCString) / sizeof(kCString[0]));
}

// Only the 255 places of the list are kept.
TEST(GeneralTable, PairCountIsBoundedByTheList) {
  static EscapePair s_Pairs[300];
  for (int i = 0; i < 300; ++i) s_Pairs[i] = EscapePair{'a', "e"};
  s_Pairs[299] = EscapePair{'b', "long"};
  CUtlCharConversion table('\\', "\"", 300, s_Pairs);
  EXPECT_EQ(table.GetPairCount(), CUtlCharConversion::MAX_ESCAPE_CHARS);
  EXPECT_EQ(table.GetEntry('b').m_pszEscape, nullptr);
  EXPECT_EQ(table.GetMaxEscapeLength(), 1);
}

}  // namespace
