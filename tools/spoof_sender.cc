// Both senders re-check that every address they write is inside
// 127.0.0.0/8, although the options already guarantee it: nothing this tool
// builds may leave the loopback network even if a caller errs.
#include "tools/spoof_sender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "tools/source_addresses.h"
#include "tools/udp_packet.h"

namespace qgflood {

namespace {

// The payload of non-empty datagrams: junk that never starts with the
// connectionless header FF FF FF FF, so a server treats it as game data.
constexpr uint8_t kPayloadByte = 'Q';

// A raw batch holds at most this many datagrams and about this many bytes.
constexpr int kMaxBatch = 64;
constexpr size_t kBatchBytes = 256 * 1024;

// File descriptors left for everything that is not a pool socket.
constexpr rlim_t kReservedFds = 64;

bool IsTransient(int nErrno) {
  return nErrno == ENOBUFS || nErrno == EAGAIN || nErrno == EWOULDBLOCK ||
         nErrno == EINTR;
}

sockaddr_in LoopbackSockaddr(uint32_t nAddr, uint16_t nPort) {
  if (!IsLoopback(nAddr)) abort();  // never reached: see the file comment
  sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(nAddr);
  sa.sin_port = htons(nPort);
  return sa;
}

class CRawSender : public CSpoofSender {
 public:
  CRawSender(int fd, const FloodOptions &options)
      : m_Fd(fd),
        m_nSources(options.m_nSources),
        m_nPayloadSize(options.m_nSize),
        m_nPacketSize(kHeadersSize + options.m_nSize),
        m_nDestAddr(options.m_nTargetAddr),
        m_nDestPort(options.m_nTargetPort) {
    if (m_nDestAddr != kRawTargetAddr) abort();
    m_nBatch = static_cast<int>(kBatchBytes / m_nPacketSize);
    if (m_nBatch < 1) m_nBatch = 1;
    if (m_nBatch > kMaxBatch) m_nBatch = kMaxBatch;
    m_Packets.assign(m_nPacketSize * m_nBatch, kPayloadByte);
    m_nPayloadSum = ChecksumAdd(0, m_Packets.data() + kHeadersSize,
                                m_nPayloadSize);
    m_Dest = LoopbackSockaddr(m_nDestAddr, 0);
    m_Iov.resize(m_nBatch);
    m_Msgs.resize(m_nBatch);
    for (int i = 0; i < m_nBatch; ++i) {
      m_Iov[i].iov_base = m_Packets.data() + i * m_nPacketSize;
      m_Iov[i].iov_len = m_nPacketSize;
      memset(&m_Msgs[i], 0, sizeof(m_Msgs[i]));
      m_Msgs[i].msg_hdr.msg_name = &m_Dest;
      m_Msgs[i].msg_hdr.msg_namelen = sizeof(m_Dest);
      m_Msgs[i].msg_hdr.msg_iov = &m_Iov[i];
      m_Msgs[i].msg_hdr.msg_iovlen = 1;
    }
  }

  ~CRawSender() override { close(m_Fd); }

  int Send(uint64_t nFirst, int nCount) override {
    if (nCount > m_nBatch) nCount = m_nBatch;
    for (int i = 0; i < nCount; ++i) {
      uint32_t nSource = static_cast<uint32_t>((nFirst + i) % m_nSources);
      UdpEndpoints endpoints;
      endpoints.m_nSourceAddr = SourceAddress(nSource);
      endpoints.m_nSourcePort = SourcePort(nSource);
      endpoints.m_nDestAddr = m_nDestAddr;
      endpoints.m_nDestPort = m_nDestPort;
      if (!IsLoopback(endpoints.m_nSourceAddr)) abort();
      WriteUdpHeaders(m_Packets.data() + i * m_nPacketSize, endpoints,
                      m_nIpId++, m_nPayloadSize, m_nPayloadSum);
    }
    int nSent = sendmmsg(m_Fd, m_Msgs.data(), nCount, 0);
    if (nSent >= 0) return nSent;
    return IsTransient(errno) ? 0 : -1;
  }

  int BatchLimit() const override { return m_nBatch; }
  const char *Mode() const override { return "raw"; }

 private:
  int m_Fd;
  uint32_t m_nSources;
  size_t m_nPayloadSize;
  size_t m_nPacketSize;
  uint32_t m_nDestAddr;
  uint16_t m_nDestPort;
  uint16_t m_nIpId = 1;
  int m_nBatch = 1;
  uint32_t m_nPayloadSum = 0;
  sockaddr_in m_Dest;
  std::vector<uint8_t> m_Packets;
  std::vector<iovec> m_Iov;
  std::vector<mmsghdr> m_Msgs;
};

class CBoundSender : public CSpoofSender {
 public:
  CBoundSender(const FloodOptions &options, uint32_t nPool)
      : m_nSources(options.m_nSources),
        m_Payload(options.m_nSize, kPayloadByte),
        m_Dest(LoopbackSockaddr(options.m_nTargetAddr,
                                options.m_nTargetPort)),
        m_Fds(nPool, -1),
        m_SlotSource(nPool, 0) {}

  ~CBoundSender() override {
    for (int fd : m_Fds)
      if (fd >= 0) close(fd);
  }

  // With every source in the pool, opens them all now, so a failure shows
  // before the flood and setup does not eat into the measured time.
  bool OpenAll(std::string *pError) {
    if (m_nSources > m_Fds.size()) return true;
    for (uint32_t i = 0; i < m_nSources; ++i) {
      if (SocketFor(i) < 0) {
        *pError = "cannot bind a UDP socket to " +
                  FormatAddress(SourceAddress(i)) + ": " + strerror(errno);
        return false;
      }
    }
    return true;
  }

  int Send(uint64_t nFirst, int nCount) override {
    for (int i = 0; i < nCount; ++i) {
      uint32_t nSource = static_cast<uint32_t>((nFirst + i) % m_nSources);
      int fd = SocketFor(nSource);
      if (fd < 0) return i > 0 ? i : -1;
      ssize_t nResult =
          sendto(fd, m_Payload.data(), m_Payload.size(), 0,
                 reinterpret_cast<const sockaddr *>(&m_Dest), sizeof(m_Dest));
      if (nResult < 0) {
        if (i > 0 || IsTransient(errno)) return i;
        return -1;
      }
    }
    return nCount;
  }

  int BatchLimit() const override { return kMaxBatch; }
  const char *Mode() const override { return "bound"; }

 private:
  // The socket bound to source nSource, opening (and, with more sources
  // than slots, first closing) the one in its slot when needed.
  int SocketFor(uint32_t nSource) {
    size_t nSlot = nSource % m_Fds.size();
    int &fd = m_Fds[nSlot];
    if (fd >= 0 && m_SlotSource[nSlot] == nSource) return fd;
    if (fd >= 0) close(fd);
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    uint32_t nAddr = SourceAddress(nSource);
    if (!IsLoopback(nAddr)) abort();
    sockaddr_in local = LoopbackSockaddr(nAddr, 0);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) <
        0) {
      int nErrno = errno;
      close(fd);
      fd = -1;
      errno = nErrno;
      return -1;
    }
    m_SlotSource[nSlot] = nSource;
    return fd;
  }

  uint32_t m_nSources;
  std::vector<uint8_t> m_Payload;
  sockaddr_in m_Dest;
  std::vector<int> m_Fds;
  std::vector<uint32_t> m_SlotSource;
};

// The pool size: the sources, within --socket-pool and within the
// descriptors the process may have (raising the soft limit to the hard one
// first).
uint32_t BoundPoolSize(const FloodOptions &options) {
  uint64_t nPool = options.m_nSources;
  if (nPool > options.m_nSocketPool) nPool = options.m_nSocketPool;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    if (limit.rlim_cur < limit.rlim_max) {
      struct rlimit raised = limit;
      raised.rlim_cur = limit.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur != RLIM_INFINITY) {
      uint64_t nAllowed = limit.rlim_cur > kReservedFds + 1
                              ? limit.rlim_cur - kReservedFds
                              : 1;
      if (nPool > nAllowed) nPool = nAllowed;
    }
  }
  return static_cast<uint32_t>(nPool);
}

}  // namespace

std::unique_ptr<CSpoofSender> CreateSpoofSender(const FloodOptions &options,
                                                std::string *pError) {
  std::string note;
  if (options.m_eMode != SenderMode::kBound) {
    if (options.m_nTargetAddr == kRawTargetAddr) {
      int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
      if (fd >= 0) {
        // A deep send buffer lets sendmmsg hand over whole batches.
        int nBuffer = 4 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &nBuffer,
                       sizeof(nBuffer)) != 0)
          setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nBuffer, sizeof(nBuffer));
        return std::unique_ptr<CSpoofSender>(new CRawSender(fd, options));
      }
      note = std::string("raw socket unavailable (") + strerror(errno) + ")";
      if (options.m_eMode == SenderMode::kRaw) {
        *pError = note;
        return nullptr;
      }
    } else {
      note = "raw mode sends only to 127.0.0.1";
    }
  }

  uint32_t nPool = BoundPoolSize(options);
  std::unique_ptr<CBoundSender> pSender(new CBoundSender(options, nPool));
  if (!pSender->OpenAll(pError)) return nullptr;
  if (nPool < options.m_nSources) {
    if (!note.empty()) note += "; ";
    note += "rebinding a pool of " + std::to_string(nPool) + " sockets";
  }
  pSender->SetNote(note);
  return pSender;
}

}  // namespace qgflood
