// What the library imports by name from the engine's base runtime,
// libtier0.so: the record/playback hook table, the allocator and the two
// pointer checks.
#ifndef QUELLGATE_HOST_TIER0_H_
#define QUELLGATE_HOST_TIER0_H_

#include "host/IMemAlloc.h"
#include "host/platform.h"

struct sockaddr;

// The receive entry: the recvfrom contract.  Answers the number of bytes
// received, 0 for an empty datagram, negative on failure; the sender's
// address goes into `from`, bounded by `*fromlen`.
typedef int (*RecvFromFn)(int s, char *buf, int len, int flags,
                          struct sockaddr *from, int *fromlen);

typedef void (*VCRReservedFn)(void);

// The record/playback hook table.  The engine makes every socket receive
// through the value of Hook_recvfrom at the moment of the call, so a module
// that writes that entry sees every receive.
struct VCR_t {
  VCRReservedFn m_pfnReserved[11];  // entries 1 to 11: not used here
  RecvFromFn Hook_recvfrom;         // entry 12
};

extern "C" {
QG_IMPORT extern VCR_t *g_pVCR;
QG_IMPORT extern IMemAlloc *g_pMemAlloc;
QG_IMPORT void _AssertValidWritePtr(void *ptr, int count);
QG_IMPORT void AssertValidStringPtr(const char *ptr, int maxchar);
}

#endif  // QUELLGATE_HOST_TIER0_H_
