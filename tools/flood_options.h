// Command-line options of qgate-flood.
//
// ParseFloodOptions turns argv into a FloodOptions and guarantees, when it
// returns kOk, that every value is in range and that the target lies inside
// 127.0.0.0/8: the tool never sends anywhere but the loopback network.
// Anything else is a usage error with a one-line message, which the tool
// reports with exit code 2.
#ifndef QUELLGATE_TOOLS_FLOOD_OPTIONS_H_
#define QUELLGATE_TOOLS_FLOOD_OPTIONS_H_

#include <stdint.h>

#include <string>

namespace qgflood {

// How spoofed datagrams leave the machine.  kAuto takes a raw socket when
// the process may open one and the target is 127.0.0.1, bound sockets
// otherwise.
enum class SenderMode { kAuto, kRaw, kBound };

// Defaults and limits.  The hard time cap keeps a --count run from going on
// for ever at a low rate; --seconds, when given, is its own cap.
constexpr double kDefaultSeconds = 10.0;
constexpr double kDefaultMaxSeconds = 300.0;
constexpr double kLongestRunSeconds = 86400.0;
constexpr uint32_t kMaxPayloadSize = 65507;  // 65535 - IPv4 - UDP headers
constexpr double kMaxPingHz = 1000.0;
constexpr uint32_t kDefaultSocketPool = 8192;
// A raw socket writes the destination itself; it is pinned to this one.
constexpr uint32_t kRawTargetAddr = 0x7f000001;  // 127.0.0.1

struct FloodOptions {
  uint32_t m_nTargetAddr = 0;  // host byte order, inside 127.0.0.0/8
  uint16_t m_nTargetPort = 0;
  uint32_t m_nSize = 0;        // payload bytes of each datagram
  uint32_t m_nSources = 1;     // distinct spoofed source addresses
  uint64_t m_nCount = 0;       // 0: not bounded by count
  double m_flSeconds = 0.0;    // 0: not bounded by --seconds
  double m_flMaxSeconds = kDefaultMaxSeconds;  // hard cap, always in force
  double m_flRate = 0.0;       // datagrams per second; 0: unpaced
  double m_flPingHz = 0.0;     // 0: no pings
  uint32_t m_nSocketPool = kDefaultSocketPool;  // bound-socket mode only
  SenderMode m_eMode = SenderMode::kAuto;
  bool m_bJson = false;
  bool m_bQuiet = false;

  // The time after which the flood stops whatever else holds.
  double TimeLimit() const {
    return m_flSeconds > 0.0 ? m_flSeconds : m_flMaxSeconds;
  }
};

enum class ParseStatus { kOk, kHelp, kUsageError };

// Parses argv[1..argc).  On kUsageError *pError holds the message (without
// the program name or a line end).  Options take their value either as the
// next word or after '=' ("--count 5", "--count=5").
ParseStatus ParseFloodOptions(int argc, const char *const *argv,
                              FloodOptions *pOptions, std::string *pError);

// Parses "ADDR:PORT" where ADDR is a dotted-quad IPv4 address inside
// 127.0.0.0/8 (or "localhost") and PORT is 1..65535.  Refuses everything
// else, with a message that says why.
bool ParseLoopbackTarget(const std::string &text, uint32_t *pAddr,
                         uint16_t *pPort, std::string *pError);

inline bool IsLoopback(uint32_t nAddr) { return (nAddr >> 24) == 127; }

// "a.b.c.d" for a host-order address.
std::string FormatAddress(uint32_t nAddr);

// The --help text.
const char *FloodUsage();

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_FLOOD_OPTIONS_H_
