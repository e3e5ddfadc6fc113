// Sending datagrams from spoofed loopback sources.
//
// Datagram number n of a flood comes from source n % K, where K is
// --sources and the address is SourceAddress(n % K): a run of at least K
// datagrams uses exactly K distinct addresses, all inside 127.0.0.0/8.
//
// Two ways, chosen by CreateSpoofSender:
//  - raw: one socket(AF_INET, SOCK_RAW, IPPROTO_RAW) with headers built
//    here, batched with sendmmsg.  Needs CAP_NET_RAW.  It sends to
//    127.0.0.1 only; any number of sources costs nothing extra.
//  - bound: one UDP socket bound to each source address.  Works for any
//    user, since the whole of 127.0.0.0/8 is local.  At most
//    --socket-pool sockets (and what RLIMIT_NOFILE allows) are open at
//    once; with more sources than that, a pool slot is closed and rebound
//    to the next source when its turn comes, which costs three system
//    calls per datagram but still sends from exactly K addresses.
#ifndef QUELLGATE_TOOLS_SPOOF_SENDER_H_
#define QUELLGATE_TOOLS_SPOOF_SENDER_H_

#include <stdint.h>

#include <memory>
#include <string>

#include "tools/flood_options.h"

namespace qgflood {

class CSpoofSender {
 public:
  virtual ~CSpoofSender() = default;

  // Sends up to nCount datagrams numbered nFirst, nFirst + 1, ...  Returns
  // how many left (0..nCount; fewer when the kernel is out of buffers for
  // the moment), or -1 on a failure that will not pass, with errno set.
  virtual int Send(uint64_t nFirst, int nCount) = 0;

  // The most datagrams one Send call takes.
  virtual int BatchLimit() const = 0;

  // "raw" or "bound".
  virtual const char *Mode() const = 0;

  // Why the mode is what it is when auto fell back, else empty.
  const std::string &Note() const { return m_Note; }
  void SetNote(const std::string &note) { m_Note = note; }

 private:
  std::string m_Note;
};

// Opens the sender that `options` asks for.  kAuto tries raw (when the
// target is 127.0.0.1) and falls back to bound sockets.  Returns null with
// *pError set when the asked mode cannot be had.
std::unique_ptr<CSpoofSender> CreateSpoofSender(const FloodOptions &options,
                                                std::string *pError);

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_SPOOF_SENDER_H_
