// The emulated engine base runtime.  It exports, by name, the record/playback
// hook table whose receive entry starts as the system's recvfrom, an
// allocator over malloc that counts what is outstanding, and the two pointer
// checks.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>

#include "emu/tier0/tier0_stats.h"

namespace {

std::atomic<int64_t> s_nBlocks{0};
std::atomic<int64_t> s_nBytes{0};
std::atomic<int64_t> s_nAllocs{0};
std::atomic<int64_t> s_nFailCountdown{0};
std::atomic<int64_t> s_nPointerChecks{0};

// Each block carries its size in front, so Free and Realloc can keep the
// byte count exact.  16 bytes keep the caller's block aligned for anything.
struct alignas(16) BlockHeader {
  size_t m_nSize;
};

bool ShouldFail() {
  int64_t n = s_nFailCountdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (s_nFailCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

class CCountingMemAlloc : public IMemAlloc {
 public:
  void *Alloc(size_t nSize) override {
    s_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (ShouldFail() || nSize > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader *pHeader =
        static_cast<BlockHeader *>(malloc(sizeof(BlockHeader) + nSize));
    if (pHeader == nullptr) return nullptr;
    pHeader->m_nSize = nSize;
    s_nBlocks.fetch_add(1, std::memory_order_relaxed);
    s_nBytes.fetch_add(static_cast<int64_t>(nSize), std::memory_order_relaxed);
    return pHeader + 1;
  }

  void *Realloc(void *pMem, size_t nSize) override {
    if (pMem == nullptr) return Alloc(nSize);
    s_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (ShouldFail() || nSize > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader *pOld = static_cast<BlockHeader *>(pMem) - 1;
    size_t nOldSize = pOld->m_nSize;
    BlockHeader *pHeader = static_cast<BlockHeader *>(
        realloc(pOld, sizeof(BlockHeader) + nSize));
    if (pHeader == nullptr) return nullptr;  // the old block stays valid
    pHeader->m_nSize = nSize;
    s_nBytes.fetch_add(static_cast<int64_t>(nSize) -
                           static_cast<int64_t>(nOldSize),
                       std::memory_order_relaxed);
    return pHeader + 1;
  }

  void Free(void *pMem) override {
    if (pMem == nullptr) return;
    BlockHeader *pHeader = static_cast<BlockHeader *>(pMem) - 1;
    s_nBlocks.fetch_sub(1, std::memory_order_relaxed);
    s_nBytes.fetch_sub(static_cast<int64_t>(pHeader->m_nSize),
                       std::memory_order_relaxed);
    free(pHeader);
  }
};

CCountingMemAlloc s_MemAlloc;

VCR_t s_VCR = {{}, &Tier0_SystemRecvFrom};

}  // namespace

extern "C" {

QG_EXPORT VCR_t *g_pVCR = &s_VCR;
QG_EXPORT IMemAlloc *g_pMemAlloc = &s_MemAlloc;

// The checks only note that they were asked: the emulated engine has no
// debug heap to consult.
QG_EXPORT void _AssertValidWritePtr(void *ptr, int count) {
  s_nPointerChecks.fetch_add(1, std::memory_order_relaxed);
}

QG_EXPORT void AssertValidStringPtr(const char *ptr, int maxchar) {
  s_nPointerChecks.fetch_add(1, std::memory_order_relaxed);
}

QG_EXPORT int Tier0_SystemRecvFrom(int s, char *buf, int len, int flags,
                                   struct sockaddr *from, int *fromlen) {
  socklen_t nFromLen = 0;
  socklen_t *pFromLen = nullptr;
  if (fromlen != nullptr) {
    nFromLen = *fromlen < 0 ? 0 : static_cast<socklen_t>(*fromlen);
    pFromLen = &nFromLen;
  }
  ssize_t r = ::recvfrom(s, buf, len < 0 ? 0 : static_cast<size_t>(len), flags,
                         from, from != nullptr ? pFromLen : nullptr);
  if (fromlen != nullptr && from != nullptr && r >= 0) {
    *fromlen = static_cast<int>(nFromLen);
  }
  return static_cast<int>(r);
}

QG_EXPORT Tier0MemStats Tier0_GetMemStats(void) {
  Tier0MemStats stats;
  stats.m_nBlocks = s_nBlocks.load();
  stats.m_nBytes = s_nBytes.load();
  stats.m_nAllocs = s_nAllocs.load();
  return stats;
}

QG_EXPORT void Tier0_FailNthAlloc(int64_t n) { s_nFailCountdown.store(n); }

QG_EXPORT int64_t Tier0_GetPointerCheckCount(void) {
  return s_nPointerChecks.load();
}

}  // extern "C"
