// Bounded formatting with which console variables write their values.
#ifndef QUELLGATE_CONSOLE_FORMAT_H_
#define QUELLGATE_CONSOLE_FORMAT_H_

// Formats by the C library's vsnprintf rules into pDest, writing at most
// nSize bytes, and always leaves the output terminated inside pDest.
// Answers the number of characters written (terminator not counted) when
// the whole output and its terminator fit; otherwise cuts the output to
// nSize - 1 characters and answers nSize.  Writes nothing and answers 0
// when nSize is 0 or negative.  The engine's pointer checks are consulted
// first.
int FormatBounded(char *pDest, int nSize, const char *pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // QUELLGATE_CONSOLE_FORMAT_H_
