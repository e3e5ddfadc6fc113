// Fault injection for the heap of a test executable: makes the Nth heap
// allocation from now fail, so that a test can walk N = 1, 2, 3, ... over
// an operation and see every allocation site of it fail in turn.
//
// What counts: malloc, calloc and realloc, and the plain, array and nothrow
// forms of operator new, as called from the code linked statically into the
// test executable (the library's archives, the test itself).  The calls are
// redirected at link time (-Wl,--wrap, see fail_nth_alloc.cmake), so the
// sanitizers still see every block and its release, and the C++ runtime's
// own allocations are not counted.
//
// A failing malloc, calloc or realloc answers null (realloc leaves the old
// block alone), a failing nothrow new answers null, and a failing plain new
// throws std::bad_alloc.  Thread-safe.
#ifndef QUELLGATE_TESTS_SUPPORT_FAIL_NTH_ALLOC_H_
#define QUELLGATE_TESTS_SUPPORT_FAIL_NTH_ALLOC_H_

#include <stdint.h>

// Makes the Nth counted allocation from now (1 = the next one) fail, once;
// 0 turns the injection off.  Clears NthAllocFailed().
void FailNthAlloc(int64_t n);

// Whether the allocation armed by the last FailNthAlloc has failed.
bool NthAllocFailed();

// Counted allocations since start, failed ones included.
int64_t HeapAllocCount();

#endif  // QUELLGATE_TESTS_SUPPORT_FAIL_NTH_ALLOC_H_
