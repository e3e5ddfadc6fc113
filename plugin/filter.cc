#include "plugin/filter.h"

#include <netinet/in.h>
#include <string.h>

#include "plugin/attackers.h"
#include "plugin/host_handles.h"

const char kFilterEnabledMessage[] = "[-] Quellgate - Enable\n";
const char kFilterDisabledMessage[] = "[-] Quellgate - Disable\n";

bool g_bFilterEnabled = false;
RecvFromFn g_pfnSavedRecvFrom = nullptr;

void EnableFilter() {
  if (g_bFilterEnabled) return;
  // The table is reached through g_pVCR at every call: the engine may move
  // it, and the entry must be the one the engine reads now.  The saved
  // entry is stored before the filter is published, so a receive on another
  // thread that finds the filter also finds where to pass the call on.
  RecvFromFn *pEntry = &g_pVCR->Hook_recvfrom;
  __atomic_store_n(&g_pfnSavedRecvFrom, __atomic_load_n(pEntry, __ATOMIC_RELAXED),
                   __ATOMIC_RELAXED);
  __atomic_store_n(pEntry, &FilteredRecvFrom, __ATOMIC_RELEASE);
  g_bFilterEnabled = true;
  g_pHostApi->ConPrint(kFilterEnabledMessage);
}

void DisableFilter() {
  if (!g_bFilterEnabled) return;
  // Written back whatever the entry holds now: the filter undoes its own
  // install, even over a module that replaced the entry after it.
  __atomic_store_n(&g_pVCR->Hook_recvfrom,
                   __atomic_load_n(&g_pfnSavedRecvFrom, __ATOMIC_RELAXED),
                   __ATOMIC_RELEASE);
  g_bFilterEnabled = false;
  g_pHostApi->ConPrint(kFilterDisabledMessage);
}

namespace {

// The slow path of an empty datagram, out of line so that the common
// non-empty receive stays one call and one comparison.
__attribute__((noinline)) int ReportEmptyDatagram(char *buf, int len,
                                                  const struct sockaddr *from,
                                                  int nFromCapacity) {
  // Only an address buffer that the caller sized for IPv4 is read; a
  // missing or short one still gets the read reported, uncounted.
  if (from != nullptr && nFromCapacity >= static_cast<int>(sizeof(sockaddr_in))) {
    const unsigned char *pAddr = reinterpret_cast<const unsigned char *>(from) +
                                 offsetof(sockaddr_in, sin_addr);
    RecordAttacker(pAddr[0], pAddr[1], pAddr[2], pAddr[3]);
  }
  // The kernel wrote nothing into `buf`: the engine must not parse the
  // previous datagram's bytes (possibly another sender's) as this one's.
  int nReport = len < kEmptyDatagramReportSize ? len : kEmptyDatagramReportSize;
  if (nReport <= 0) return 0;
  if (buf != nullptr) memset(buf, 0, static_cast<size_t>(nReport));
  return nReport;
}

}  // namespace

extern "C" int FilteredRecvFrom(int s, char *buf, int len, int flags,
                                struct sockaddr *from, int *fromlen) {
  // The capacity of the address buffer as the caller gave it: the saved
  // entry overwrites *fromlen with the address's full length, which may
  // exceed what the buffer holds.
  int nFromCapacity = fromlen != nullptr ? *fromlen : 0;
  int r = __atomic_load_n(&g_pfnSavedRecvFrom, __ATOMIC_RELAXED)(
      s, buf, len, flags, from, fromlen);
  if (__builtin_expect(r != 0, 1)) return r;
  return ReportEmptyDatagram(buf, len, from, nFromCapacity);
}
