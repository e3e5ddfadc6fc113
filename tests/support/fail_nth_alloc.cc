// The heap's fault injection: link-time wrappers around the allocation
// functions (see fail_nth_alloc.h and fail_nth_alloc.cmake).
#include "tests/support/fail_nth_alloc.h"

#include <stddef.h>
#include <stdlib.h>

#include <atomic>
#include <new>

namespace {

std::atomic<int64_t> s_nCountdown{0};
std::atomic<bool> s_bFailed{false};
std::atomic<int64_t> s_nAllocs{0};

// Counts one allocation and answers whether it is the one to fail.
bool ShouldFail() {
  s_nAllocs.fetch_add(1, std::memory_order_relaxed);
  int64_t n = s_nCountdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (s_nCountdown.compare_exchange_weak(n, n - 1)) {
      if (n != 1) return false;
      s_bFailed.store(true);
      return true;
    }
  }
  return false;
}

}  // namespace

void FailNthAlloc(int64_t n) {
  s_bFailed.store(false);
  s_nCountdown.store(n > 0 ? n : 0);
}

bool NthAllocFailed() { return s_bFailed.load(); }

int64_t HeapAllocCount() { return s_nAllocs.load(); }

// The operator new forms by their link names, which carry the width of
// size_t: m on 64-bit targets, j on 32-bit ones.
#if __SIZEOF_SIZE_T__ == 8
#define QG_NEW_NAME(form) _Znw##m##form
#define QG_NEW_ARRAY_NAME(form) _Zna##m##form
#else
#define QG_NEW_NAME(form) _Znw##j##form
#define QG_NEW_ARRAY_NAME(form) _Zna##j##form
#endif
#define QG_CONCAT_(a, b) a##b
#define QG_CONCAT(a, b) QG_CONCAT_(a, b)
#define QG_WRAP(name) QG_CONCAT(__wrap_, name)
#define QG_REAL(name) QG_CONCAT(__real_, name)

#define QG_PLAIN_NEW QG_NEW_NAME()
#define QG_ARRAY_NEW QG_NEW_ARRAY_NAME()
#define QG_NOTHROW_NEW QG_NEW_NAME(RKSt9nothrow_t)
#define QG_NOTHROW_ARRAY_NEW QG_NEW_ARRAY_NAME(RKSt9nothrow_t)

// The wrappers are exported: the linker applies --wrap to the names that
// the shared libraries in the link import as well, and refuses to resolve
// those to a hidden symbol.
#define QG_WRAPPER __attribute__((visibility("default")))

extern "C" {

void *__real_malloc(size_t nSize);
void *__real_calloc(size_t nCount, size_t nSize);
void *__real_realloc(void *pBlock, size_t nSize);
void *QG_REAL(QG_PLAIN_NEW)(size_t nSize);
void *QG_REAL(QG_ARRAY_NEW)(size_t nSize);
void *QG_REAL(QG_NOTHROW_NEW)(size_t nSize, const std::nothrow_t &tag);
void *QG_REAL(QG_NOTHROW_ARRAY_NEW)(size_t nSize, const std::nothrow_t &tag);

QG_WRAPPER void *__wrap_malloc(size_t nSize) {
  return ShouldFail() ? nullptr : __real_malloc(nSize);
}

QG_WRAPPER void *__wrap_calloc(size_t nCount, size_t nSize) {
  return ShouldFail() ? nullptr : __real_calloc(nCount, nSize);
}

QG_WRAPPER void *__wrap_realloc(void *pBlock, size_t nSize) {
  return ShouldFail() ? nullptr : __real_realloc(pBlock, nSize);
}

QG_WRAPPER void *QG_WRAP(QG_PLAIN_NEW)(size_t nSize) {
  if (ShouldFail()) throw std::bad_alloc();
  return QG_REAL(QG_PLAIN_NEW)(nSize);
}

QG_WRAPPER void *QG_WRAP(QG_ARRAY_NEW)(size_t nSize) {
  if (ShouldFail()) throw std::bad_alloc();
  return QG_REAL(QG_ARRAY_NEW)(nSize);
}

QG_WRAPPER void *QG_WRAP(QG_NOTHROW_NEW)(size_t nSize,
                                         const std::nothrow_t &tag) {
  return ShouldFail() ? nullptr : QG_REAL(QG_NOTHROW_NEW)(nSize, tag);
}

QG_WRAPPER void *QG_WRAP(QG_NOTHROW_ARRAY_NEW)(size_t nSize,
                                               const std::nothrow_t &tag) {
  return ShouldFail() ? nullptr : QG_REAL(QG_NOTHROW_ARRAY_NEW)(nSize, tag);
}

}  // extern "C"
