// The receive filter and its switch.  While the filter is on, the receive
// entry of tier0's hook table holds FilteredRecvFrom, which passes every
// receive on to the entry it replaced; an empty datagram is counted against
// its sender and reported to the engine as a 25-byte read, so the engine's
// per-tick receive loop goes on draining the socket.
#ifndef QUELLGATE_PLUGIN_FILTER_H_
#define QUELLGATE_PLUGIN_FILTER_H_

#include "host/tier0.h"

// The size of the read reported for an empty datagram.
enum { kEmptyDatagramReportSize = 25 };

// The filter's state lines, printed when it changes and by the status report.
extern const char kFilterEnabledMessage[];
extern const char kFilterDisabledMessage[];

// Whether FilteredRecvFrom sits in the receive entry by EnableFilter's doing.
extern bool g_bFilterEnabled;
// The receive entry that EnableFilter replaced.  Never cleared, so a call
// still inside FilteredRecvFrom when the entry is restored completes.
extern RecvFromFn g_pfnSavedRecvFrom;

// Installs the filter and prints "[-] Quellgate - Enable\n".  Does nothing
// when the filter is already on.
void EnableFilter();
// Restores the saved receive entry and prints "[-] Quellgate - Disable\n".
// Does nothing when the filter is off.
void DisableFilter();

// The plugin's receive entry.  Non-zero results of the saved entry pass back
// unchanged.  On an empty datagram it counts the sender when the caller gave
// room for an IPv4 address, zeroes the bytes it reports, and answers 25, or
// `len` when the caller's buffer is shorter.
extern "C" int FilteredRecvFrom(int s, char *buf, int len, int flags,
                                struct sockaddr *from, int *fromlen);

#endif  // QUELLGATE_PLUGIN_FILTER_H_
