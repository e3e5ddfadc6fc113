// Connectionless pings during a flood, and their round-trip statistics.
//
// A ping is FF FF FF FF 'i' followed by a 12-byte payload: the sequence
// number (4 bytes) and the send time in nanoseconds (8 bytes), both
// little-endian.  The server answers FF FF FF FF 'j' with the same payload.
// CPingProbe sends from an ordinary UDP socket (source 127.0.0.1, never one
// of the flood's sources) at a fixed rate on its own thread, so the pings
// keep their schedule however hard the flood thread works.  A ping still
// unanswered one second after Finish() is lost; an answer that does not
// match a ping sent (wrong sequence, wrong time, a second answer) is
// ignored.
#ifndef QUELLGATE_TOOLS_PING_PROBE_H_
#define QUELLGATE_TOOLS_PING_PROBE_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace qgflood {

constexpr size_t kPingSize = 4 + 1 + 4 + 8;
constexpr int64_t kPingGraceNs = 1000000000;  // answers wait 1 s at most

// Writes a ping ('i') into pOut[0..kPingSize).
void BuildPing(uint32_t nSequence, int64_t nSentNs, uint8_t *pOut);

// True when pData is exactly an answer ('j') to some ping; yields its
// sequence and send time.
bool ParsePong(const uint8_t *pData, size_t nSize, uint32_t *pSequence,
               int64_t *pSentNs);

// Nearest-rank percentile (0 < q <= 1) of an ascending, non-empty list.
int64_t Percentile(const std::vector<int64_t> &sorted, double q);

struct PingStats {
  double m_flHz = 0.0;
  uint64_t m_nSent = 0;
  uint64_t m_nAnswered = 0;
  uint64_t m_nLost = 0;
  // Round trips in milliseconds; meaningful when m_nAnswered > 0.
  double m_flP50Ms = 0.0;
  double m_flP99Ms = 0.0;
  double m_flMaxMs = 0.0;
};

class CPingProbe {
 public:
  // nAddr (host order, inside 127.0.0.0/8) and nPort: where to ping.
  CPingProbe(uint32_t nAddr, uint16_t nPort, double flHz);
  ~CPingProbe();
  CPingProbe(const CPingProbe &) = delete;
  CPingProbe &operator=(const CPingProbe &) = delete;

  // Opens the socket and starts pinging at once.
  bool Start(std::string *pError);

  // Stops sending, waits until every ping is answered or one second has
  // passed, and returns the statistics.
  PingStats Finish();

 private:
  void Run();
  void Receive(int64_t nGraceEndNs);

  uint32_t m_nAddr;
  uint16_t m_nPort;
  double m_flHz;
  int m_Fd = -1;
  std::thread m_Thread;
  std::atomic<int64_t> m_nFloodEndNs{0};  // 0 while the flood runs

  // Owned by the probe thread until it is joined.
  std::vector<int64_t> m_SentNs;     // by sequence
  std::vector<bool> m_bAnswered;     // by sequence
  std::vector<int64_t> m_RoundTripNs;
};

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_PING_PROBE_H_
