// What the emulated tier0 offers beyond the engine's own exports, for the
// server and the tests: the allocator's counters, fault injection, and the
// system receive adapter that the hook table starts with.
#ifndef QUELLGATE_EMU_TIER0_TIER0_STATS_H_
#define QUELLGATE_EMU_TIER0_TIER0_STATS_H_

#include <stddef.h>
#include <stdint.h>

#include "host/tier0.h"

struct Tier0MemStats {
  int64_t m_nBlocks;  // blocks outstanding
  int64_t m_nBytes;   // bytes outstanding
  int64_t m_nAllocs;  // Alloc and Realloc calls since start
};

extern "C" {
// The allocator's counters at this moment.
QG_IMPORT Tier0MemStats Tier0_GetMemStats(void);
// Makes the Nth allocation from now (1 = the next one) fail with null;
// 0 turns the injection off.
QG_IMPORT void Tier0_FailNthAlloc(int64_t n);
// The adapter to the system's recvfrom that the receive entry holds at
// start; writing it back restores the engine's own receive.
QG_IMPORT int Tier0_SystemRecvFrom(int s, char *buf, int len, int flags,
                                   struct sockaddr *from, int *fromlen);
// Calls of the two pointer checks since start.
QG_IMPORT int64_t Tier0_GetPointerCheckCount(void);
}

#endif  // QUELLGATE_EMU_TIER0_TIER0_STATS_H_
