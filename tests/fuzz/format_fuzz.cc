// FormatBounded with a fuzzed destination size and a fuzzed format.
//
// The format is built from the input so that it can only read the
// arguments given: fuzzed literal text ('%' in it doubled), and at most four
// conversions, the i-th always reading argument i, whose type is fixed (an
// int, a text, a double, an unsigned), with fuzzed flags, width and
// precision and a conversion letter valid for that type.  Unused trailing
// arguments are allowed by the C library's rules.
//
// The destination is a heap block of exactly the size given, so the address
// sanitizer sees any write past it.  The result is checked against the C
// library's own formatting of the same format: the whole output and its
// count when it fits with its terminator; otherwise the output cut to
// size - 1 characters, terminated, and the answer size; nothing written and
// 0 for a size of 0 or less.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "console/format.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Conversion letters valid for each argument position.
const char kIntLetters[] = "dixXouc";
const char kTextLetters[] = "s";
const char kDoubleLetters[] = "feEgGaA";
const char kUnsignedLetters[] = "xXuo";
const char *const kLetters[4] = {kIntLetters, kTextLetters, kDoubleLetters,
                                 kUnsignedLetters};

void AppendLiteral(FuzzedDataProvider &input, std::string *pFormat) {
  for (char c : input.ConsumeRandomLengthString(16)) {
    if (c == '\0') continue;  // the format is a C string
    if (c == '%') pFormat->push_back('%');
    pFormat->push_back(c);
  }
}

// Flags, width and precision only where the C library defines them for the
// letter, so the reference formatting below is well defined too.
void AppendConversion(FuzzedDataProvider &input, int nArgument,
                      std::string *pFormat) {
  const char *pszLetters = kLetters[nArgument];
  const char cLetter = pszLetters[input.ConsumeIntegralInRange<size_t>(
      0, strlen(pszLetters) - 1)];
  const bool bText = cLetter == 's' || cLetter == 'c';
  const bool bAlternate = strchr("xXofeEgGaA", cLetter) != nullptr;

  pFormat->push_back('%');
  static const char kFlags[] = "-+ #0";
  const int nFlags = input.ConsumeIntegralInRange<int>(0, 31);
  for (int i = 0; i < 5; ++i) {
    if (!(nFlags & (1 << i))) continue;
    if (kFlags[i] == '#' && !bAlternate) continue;
    if (kFlags[i] == '0' && bText) continue;
    pFormat->push_back(kFlags[i]);
  }
  // Widths and precisions up to 9999 keep each run fast and still cross
  // every destination size tried.
  if (input.ConsumeBool()) {
    pFormat->append(std::to_string(input.ConsumeIntegralInRange<int>(0, 9999)));
  }
  if (input.ConsumeBool() && cLetter != 'c') {
    pFormat->push_back('.');
    pFormat->append(std::to_string(input.ConsumeIntegralInRange<int>(0, 9999)));
  }
  pFormat->push_back(cLetter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int nSize = input.ConsumeIntegralInRange<int>(-8, 600);
  const int nInt = input.ConsumeIntegral<int>();
  const unsigned nUnsigned = input.ConsumeIntegral<unsigned>();
  const uint64_t nDoubleBits = input.ConsumeIntegral<uint64_t>();
  double dValue;
  memcpy(&dValue, &nDoubleBits, sizeof dValue);  // NaN and infinities too
  const std::string strText = input.ConsumeRandomLengthString(64);
  // An exact-size heap copy, so a read past its terminator is seen.
  const size_t nTextSize = strlen(strText.c_str()) + 1;
  char *pszText = static_cast<char *>(malloc(nTextSize));
  memcpy(pszText, strText.c_str(), nTextSize);

  std::string strFormat;
  const int nConversions = input.ConsumeIntegralInRange<int>(0, 4);
  AppendLiteral(input, &strFormat);
  for (int i = 0; i < nConversions; ++i) {
    AppendConversion(input, i, &strFormat);
    AppendLiteral(input, &strFormat);
  }
  const char *pszFormat = strFormat.c_str();

  // What the whole output would be.
  const int nFull =
      snprintf(nullptr, 0, pszFormat, nInt, pszText, dValue, nUnsigned);
  CHECK(nFull >= 0);
  std::vector<char> full(static_cast<size_t>(nFull) + 1);
  snprintf(full.data(), full.size(), pszFormat, nInt, pszText, dValue,
           nUnsigned);

  // A size of 0 or less gets a one-byte block that must stay untouched.
  const size_t nBlock = nSize > 0 ? static_cast<size_t>(nSize) : 1;
  char *pDest = static_cast<char *>(malloc(nBlock));
  memset(pDest, 0x5A, nBlock);
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"
  const int nResult =
      FormatBounded(pDest, nSize, pszFormat, nInt, pszText, dValue, nUnsigned);
#pragma clang diagnostic pop

  if (nSize <= 0) {
    CHECK(nResult == 0);
    CHECK(pDest[0] == 0x5A);
  } else if (nFull < nSize) {
    CHECK(nResult == nFull);
    CHECK(memcmp(pDest, full.data(), static_cast<size_t>(nFull) + 1) == 0);
  } else {
    CHECK(nResult == nSize);
    CHECK(pDest[nSize - 1] == '\0');
    CHECK(memcmp(pDest, full.data(), static_cast<size_t>(nSize) - 1) == 0);
  }

  free(pDest);
  free(pszText);
  return 0;
}
