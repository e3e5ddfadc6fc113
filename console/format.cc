// Bounded formatting.
#include "console/format.h"

#include <stdarg.h>
#include <stdio.h>

#include "host/tier0.h"

int FormatBounded(char *pDest, int nSize, const char *pszFormat, ...) {
  _AssertValidWritePtr(pDest, nSize);
  AssertValidStringPtr(pszFormat, 0xFFFFFF);
  // There is no last byte to terminate in.
  if (nSize <= 0) return 0;

  va_list args;
  va_start(args, pszFormat);
  const int nWritten = vsnprintf(pDest, static_cast<size_t>(nSize), pszFormat,
                                 args);
  va_end(args);

  // An output that fills the buffer exactly has no room for its terminator,
  // so it counts as cut too; an encoding failure counts as cut as well.
  if (nWritten < 0 || nWritten >= nSize) {
    pDest[nSize - 1] = '\0';
    return nSize;
  }
  return nWritten;
}
