// What qgate-flood tells its user: the summary, as text or as one JSON
// object, and the progress bar.
//
// The JSON object has these members, always in this order:
//   "target"       "ADDR:PORT"
//   "mode"         "raw" or "bound"
//   "sent"         datagrams the kernel accepted
//   "bytes"        payload bytes sent (sent * size)
//   "size"         payload bytes per datagram
//   "sources"      distinct source addresses used (min(--sources, sent))
//   "seconds"      from the first send to the last
//   "rate"         sent / seconds
//   "send_errors"  sends refused for the moment (no buffer space) and retried
//   "stopped_by"   "count", "seconds", "time_cap" or "signal"
//   "ping"         null, or {"hz", "sent", "answered", "lost", "p50_ms",
//                  "p99_ms", "max_ms"} with the three times null when no
//                  ping was answered
#ifndef QUELLGATE_TOOLS_FLOOD_REPORT_H_
#define QUELLGATE_TOOLS_FLOOD_REPORT_H_

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "tools/ping_probe.h"

namespace qgflood {

struct FloodSummary {
  std::string m_Target;
  std::string m_Mode;
  std::string m_Note;  // why the mode, when it fell back
  uint64_t m_nSent = 0;
  uint32_t m_nSize = 0;
  uint32_t m_nSources = 0;
  double m_flSeconds = 0.0;
  uint64_t m_nSendErrors = 0;
  std::string m_StoppedBy;
  bool m_bPinged = false;
  PingStats m_Ping;

  double Rate() const {
    return m_flSeconds > 0.0 ? static_cast<double>(m_nSent) / m_flSeconds
                             : 0.0;
  }
};

// One line, ending in a line end.
std::string FormatJson(const FloodSummary &summary);

// A few lines for a person, each ending in a line end.
std::string FormatHuman(const FloodSummary &summary);

// A one-line bar redrawn in place on a terminal.  Draw is cheap to call
// often: it redraws at most ten times a second.
class CProgressBar {
 public:
  explicit CProgressBar(FILE *pOut) : m_pOut(pOut) {}
  // flDone in [0, 1].
  void Draw(double flDone, uint64_t nSent, double flSeconds, int64_t nNowNs);
  // Clears the line so the summary starts clean.
  void Clear();

 private:
  FILE *m_pOut;
  int64_t m_nLastDrawNs = 0;
  bool m_bDrawn = false;
};

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_FLOOD_REPORT_H_
