// Test support for the soak: what it reads about the server.
//
//  - The console's answers, parsed strictly: a `net_stats` line, and the
//    `qgat_status` report (state line, header, rows, the optional
//    " (others)" row, footer), where anything out of shape is an error.
//  - The kernel's view from /proc: the process's resident memory and its
//    peak (VmRSS, VmHWM), and the server socket's receive queue and the
//    datagrams the kernel dropped because that queue was full.
//  - Sanitizer reports in a process's stderr, and the flood tool's JSON
//    summary.
#ifndef QUELLGATE_TESTS_SOAK_PROBES_H_
#define QUELLGATE_TESTS_SOAK_PROBES_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/server_e2e_support.h"

namespace qgsoak {

// One `net_stats` line.
typedef qgtest::ServerCounters NetCounters;

// Parses the first `net_stats:` line of `strText` from position
// `*pOffset` on, and moves `*pOffset` past it.  False when there is none
// or it is out of shape.
bool ParseNetStats(const std::string &strText, size_t *pOffset,
                   NetCounters *pCounters);

struct StatusRow {
  std::string m_strAddress;
  int64_t m_nCount = 0;
};

// One `qgat_status` report.
struct StatusReport {
  bool m_bEnabled = false;
  std::vector<StatusRow> m_Rows;  // the address rows, in printed order
  bool m_bHasOthers = false;
  int64_t m_nOthers = 0;

  // Every count in the report, the others row included.
  int64_t Sum() const;
};

// Parses the report that begins at `*pOffset` in `strText` and moves
// `*pOffset` past its footer.  False, with the reason in `*pError`, when it
// is out of shape: a row that is not " ADDR\t|\tN" with a dotted IPv4
// address and a decimal, an others row anywhere but last, or a missing
// line.
bool ParseStatusReport(const std::string &strText, size_t *pOffset,
                       StatusReport *pReport, std::string *pError);

// Resident memory of a process, in KiB, from /proc/PID/status.
struct MemorySample {
  uint64_t m_nRssKiB = 0;  // VmRSS now
  uint64_t m_nHwmKiB = 0;  // VmHWM: the peak of VmRSS since the start
};
bool ReadMemory(pid_t pid, MemorySample *pSample);

// The UDP socket bound to 127.0.0.1:`nPort`, from /proc/net/udp.
struct UdpSocketState {
  uint64_t m_nQueuedBytes = 0;  // rx_queue: bytes waiting to be read
  uint64_t m_nDrops = 0;        // datagrams dropped since the socket opened
};
bool ReadUdpSocket(int nPort, UdpSocketState *pState);

// The lines of `strErr` that a sanitizer writes when it reports a fault
// (AddressSanitizer, LeakSanitizer, ThreadSanitizer, UndefinedBehavior-
// Sanitizer's "runtime error:"), joined; empty when there are none.
std::string SanitizerReports(const std::string &strErr);

// The members of qgate-flood's one-line JSON summary that the soak reads.
struct FloodSummary {
  std::string m_strMode;
  std::string m_strStoppedBy;
  uint64_t m_nSent = 0;
  uint64_t m_nSources = 0;
  double m_flSeconds = 0.0;
};

// Parses a summary from a run without pings (a flat object).  False when a
// member is missing.
bool ParseFloodSummary(const std::string &strJson, FloodSummary *pSummary);

// "a.b.c.d" for a host-order address.
std::string DottedAddress(uint32_t nAddr);

}  // namespace qgsoak

#endif  // QUELLGATE_TESTS_SOAK_PROBES_H_
