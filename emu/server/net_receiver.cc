#include "emu/server/net_receiver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/tier0.h"

namespace {

// The largest datagram the engine reads.
constexpr size_t kBufferSize = 65536;

// Reads per tick at most.  The engine's loop has no such bound; here it only
// keeps the console running under a flood of non-empty datagrams that
// arrives faster than the loop drains it.  It is far above anything that
// one tick's queue holds in the tests.
constexpr int kMaxReadsPerTick = 1 << 16;

// Adds `n` to a counter that only the receiving thread writes.
inline void Bump(std::atomic<uint64_t> *pCounter, uint64_t n = 1) {
  pCounter->store(pCounter->load(std::memory_order_relaxed) + n,
                  std::memory_order_relaxed);
}

// The socket's receive queue: large enough that a burst of a few thousand
// small datagrams waits in it instead of being dropped by the kernel.
constexpr int kReceiveQueueBytes = 4 << 20;

}  // namespace

CNetReceiver::~CNetReceiver() {
  if (m_nSocket >= 0) close(m_nSocket);
}

bool CNetReceiver::Open(const char *pszAddress, int nPort,
                        std::string *pError) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  if (inet_pton(AF_INET, pszAddress, &addr.sin_addr) != 1) {
    *pError = std::string("bad address ") + pszAddress;
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *pError = std::string("socket: ") + strerror(errno);
    return false;
  }
  // Best effort: the kernel caps the size for unprivileged processes.
  int nQueue = kReceiveQueueBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nQueue, sizeof nQueue);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    *pError = std::string("bind ") + pszAddress + ":" + std::to_string(nPort) +
              ": " + strerror(errno);
    close(fd);
    return false;
  }
  socklen_t nLen = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &nLen) != 0) {
    *pError = std::string("getsockname: ") + strerror(errno);
    close(fd);
    return false;
  }
  m_nSocket = fd;
  m_nPort = ntohs(addr.sin_port);
  m_Buffer.assign(kBufferSize, 0);
  return true;
}

int CNetReceiver::ReceiveTick(const std::atomic<bool> *pInterrupt) {
  Bump(&m_Stats.m_nTicks);
  if (m_nSocket < 0) return -1;
  for (int nReads = 0; nReads < kMaxReadsPerTick; ++nReads) {
    if (pInterrupt != nullptr && pInterrupt->load(std::memory_order_relaxed)) {
      return 1;
    }
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    int nFromLen = sizeof from;
    // The table and its entry are read at every call: the plugin may have
    // replaced the entry since the last one, possibly from another thread.
    RecvFromFn pfnRecvFrom =
        __atomic_load_n(&g_pVCR->Hook_recvfrom, __ATOMIC_ACQUIRE);
    int r = pfnRecvFrom(m_nSocket, m_Buffer.data(),
                        static_cast<int>(m_Buffer.size()), 0,
                        reinterpret_cast<sockaddr *>(&from), &nFromLen);
    if (r < 0) return r;  // nothing waiting, or a socket error
    Bump(&m_Stats.m_nDatagrams);
    if (r == 0) {
      // The engine's rule: an empty read ends this tick's receive loop.
      Bump(&m_Stats.m_nEmptyReads);
      return 0;
    }
    // Never trust a count beyond the buffer, whoever produced it.
    int nLength = r < static_cast<int>(m_Buffer.size())
                      ? r
                      : static_cast<int>(m_Buffer.size());
    Bump(&m_Stats.m_nBytes, static_cast<uint64_t>(nLength));
    HandleDatagram(nLength, &from, nFromLen);
  }
  return 1;
}

NetStats CNetReceiver::Stats() const {
  NetStats stats;
  stats.m_nDatagrams = m_Stats.m_nDatagrams.load(std::memory_order_relaxed);
  stats.m_nBytes = m_Stats.m_nBytes.load(std::memory_order_relaxed);
  stats.m_nEmptyReads = m_Stats.m_nEmptyReads.load(std::memory_order_relaxed);
  stats.m_nPingsAnswered =
      m_Stats.m_nPingsAnswered.load(std::memory_order_relaxed);
  stats.m_nDropped = m_Stats.m_nDropped.load(std::memory_order_relaxed);
  stats.m_nTicks = m_Stats.m_nTicks.load(std::memory_order_relaxed);
  return stats;
}

void CNetReceiver::HandleDatagram(int nLength, const void *pFrom,
                                  int nFromLen) {
  const unsigned char *p =
      reinterpret_cast<const unsigned char *>(m_Buffer.data());
  bool bConnectionless = nLength >= 4 && p[0] == 0xFF && p[1] == 0xFF &&
                         p[2] == 0xFF && p[3] == 0xFF;
  const sockaddr_in *pSender = static_cast<const sockaddr_in *>(pFrom);
  bool bHasSender = nFromLen >= static_cast<int>(sizeof(sockaddr_in)) &&
                    pSender->sin_family == AF_INET;
  if (bConnectionless && nLength >= 5 && p[4] == 'i' && bHasSender) {
    // The answer is built apart: the receive buffer keeps what was read,
    // as the engine's does, whatever the next read reports.
    m_Reply.assign(m_Buffer.begin(), m_Buffer.begin() + nLength);
    m_Reply[4] = 'j';
    sendto(m_nSocket, m_Reply.data(), m_Reply.size(), 0,
           reinterpret_cast<const sockaddr *>(pSender), sizeof(sockaddr_in));
    Bump(&m_Stats.m_nPingsAnswered);
    return;
  }
  Bump(&m_Stats.m_nDropped);
}
