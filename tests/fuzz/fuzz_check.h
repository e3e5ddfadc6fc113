// The fuzz targets' invariant check.  A failed check names itself and
// aborts, which libFuzzer reports as a crash with the input that caused it.
#ifndef QUELLGATE_TESTS_FUZZ_FUZZ_CHECK_H_
#define QUELLGATE_TESTS_FUZZ_FUZZ_CHECK_H_

#include <stdio.h>
#include <stdlib.h>

#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      abort();                                                         \
    }                                                                  \
  } while (0)

#endif  // QUELLGATE_TESTS_FUZZ_FUZZ_CHECK_H_
