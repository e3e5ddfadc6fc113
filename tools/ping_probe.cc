// Round trips are measured from the send call to the kernel's receive
// timestamp of the answer (SO_TIMESTAMPNS), not to the moment this thread
// next runs: on a loaded machine the flood and the server compete for the
// CPUs, and the probe's own scheduling delay would otherwise be blamed on
// the server.  The kernel stamps in CLOCK_REALTIME, so send times are taken
// on the same clock; deadlines use the monotonic clock.
#include "tools/ping_probe.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "tools/flood_options.h"
#include "tools/token_bucket.h"

namespace qgflood {

namespace {

const uint8_t kConnectionless[4] = {0xff, 0xff, 0xff, 0xff};
constexpr uint8_t kPingType = 'i';
constexpr uint8_t kPongType = 'j';
// The probe thread looks at the flood's end at least this often.
constexpr int64_t kLongestWaitNs = 5000000;

int64_t RealtimeNanos() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void PutLe(uint8_t *p, uint64_t n, int nBytes) {
  for (int i = 0; i < nBytes; ++i) p[i] = static_cast<uint8_t>(n >> (8 * i));
}

uint64_t GetLe(const uint8_t *p, int nBytes) {
  uint64_t n = 0;
  for (int i = nBytes - 1; i >= 0; --i) n = n << 8 | p[i];
  return n;
}

double NanosToMs(int64_t n) { return static_cast<double>(n) / 1e6; }

}  // namespace

void BuildPing(uint32_t nSequence, int64_t nSentNs, uint8_t *pOut) {
  memcpy(pOut, kConnectionless, 4);
  pOut[4] = kPingType;
  PutLe(pOut + 5, nSequence, 4);
  PutLe(pOut + 9, static_cast<uint64_t>(nSentNs), 8);
}

bool ParsePong(const uint8_t *pData, size_t nSize, uint32_t *pSequence,
               int64_t *pSentNs) {
  if (nSize != kPingSize || memcmp(pData, kConnectionless, 4) != 0 ||
      pData[4] != kPongType)
    return false;
  *pSequence = static_cast<uint32_t>(GetLe(pData + 5, 4));
  *pSentNs = static_cast<int64_t>(GetLe(pData + 9, 8));
  return true;
}

int64_t Percentile(const std::vector<int64_t> &sorted, double q) {
  size_t nRank = static_cast<size_t>(std::ceil(q * sorted.size()));
  if (nRank < 1) nRank = 1;
  if (nRank > sorted.size()) nRank = sorted.size();
  return sorted[nRank - 1];
}

CPingProbe::CPingProbe(uint32_t nAddr, uint16_t nPort, double flHz)
    : m_nAddr(nAddr), m_nPort(nPort), m_flHz(flHz) {}

CPingProbe::~CPingProbe() {
  if (m_Thread.joinable()) Finish();
  if (m_Fd >= 0) close(m_Fd);
}

bool CPingProbe::Start(std::string *pError) {
  if (!IsLoopback(m_nAddr)) {
    *pError = "ping target is not loopback";
    return false;
  }
  m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) {
    *pError = std::string("ping socket: ") + strerror(errno);
    return false;
  }
  int nOn = 1;
  setsockopt(m_Fd, SOL_SOCKET, SO_TIMESTAMPNS, &nOn, sizeof(nOn));
  sockaddr_in target;
  memset(&target, 0, sizeof(target));
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(m_nAddr);
  target.sin_port = htons(m_nPort);
  // Connected: the socket takes answers from the target only.
  if (connect(m_Fd, reinterpret_cast<const sockaddr *>(&target),
              sizeof(target)) != 0) {
    *pError = std::string("ping connect: ") + strerror(errno);
    return false;
  }
  m_Thread = std::thread(&CPingProbe::Run, this);
  return true;
}

PingStats CPingProbe::Finish() {
  if (m_Thread.joinable()) {
    int64_t nNow = MonotonicNanos();
    m_nFloodEndNs.store(nNow > 0 ? nNow : 1);
    m_Thread.join();
  }
  PingStats stats;
  stats.m_flHz = m_flHz;
  stats.m_nSent = m_SentNs.size();
  stats.m_nAnswered = m_RoundTripNs.size();
  stats.m_nLost = stats.m_nSent - stats.m_nAnswered;
  if (!m_RoundTripNs.empty()) {
    std::vector<int64_t> sorted = m_RoundTripNs;
    std::sort(sorted.begin(), sorted.end());
    stats.m_flP50Ms = NanosToMs(Percentile(sorted, 0.50));
    stats.m_flP99Ms = NanosToMs(Percentile(sorted, 0.99));
    stats.m_flMaxMs = NanosToMs(sorted.back());
  }
  return stats;
}

void CPingProbe::Run() {
  const int64_t nPeriodNs = static_cast<int64_t>(1e9 / m_flHz);
  int64_t nNextNs = MonotonicNanos();
  for (;;) {
    int64_t nNow = MonotonicNanos();
    int64_t nEndNs = m_nFloodEndNs.load();
    int64_t nWakeNs;
    if (nEndNs != 0) {
      int64_t nGraceEndNs = nEndNs + kPingGraceNs;
      if (nNow >= nGraceEndNs || m_RoundTripNs.size() == m_SentNs.size())
        break;
      nWakeNs = nGraceEndNs;
    } else {
      if (nNow >= nNextNs) {
        uint8_t ping[kPingSize];
        uint32_t nSequence = static_cast<uint32_t>(m_SentNs.size());
        int64_t nSentNs = RealtimeNanos();
        BuildPing(nSequence, nSentNs, ping);
        // A failed send (the target's port closed, say) is a lost ping.
        send(m_Fd, ping, sizeof(ping), MSG_DONTWAIT);
        m_SentNs.push_back(nSentNs);
        m_bAnswered.push_back(false);
        // Keep the schedule; after a stall, resume from now rather than
        // sending a burst to catch up.
        nNextNs += nPeriodNs;
        if (nNextNs < nNow) nNextNs = nNow + nPeriodNs;
      }
      nWakeNs = nNextNs;
    }
    int64_t nWaitNs = std::min(std::max<int64_t>(nWakeNs - nNow, 0),
                               kLongestWaitNs);
    struct pollfd pfd = {m_Fd, POLLIN, 0};
    struct timespec wait = {static_cast<time_t>(nWaitNs / 1000000000),
                            static_cast<long>(nWaitNs % 1000000000)};
    if (ppoll(&pfd, 1, &wait, nullptr) > 0) {
      int64_t nEnd = m_nFloodEndNs.load();
      Receive(nEnd != 0 ? nEnd + kPingGraceNs : INT64_MAX);
    }
  }
}

void CPingProbe::Receive(int64_t nGraceEndNs) {
  for (;;) {
    uint8_t buffer[64];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(struct timespec))];
    iovec iov = {buffer, sizeof(buffer)};
    msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t nSize = recvmsg(m_Fd, &msg, MSG_DONTWAIT);
    if (nSize < 0) {
      if (errno == EINTR) continue;
      return;  // drained, or an ICMP error from a closed port
    }
    if (MonotonicNanos() > nGraceEndNs) continue;  // too late to count
    int64_t nReceivedNs = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr;
         c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        struct timespec stamp;
        memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
        nReceivedNs =
            static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
      }
    }
    if (nReceivedNs == 0) nReceivedNs = RealtimeNanos();
    uint32_t nSequence = 0;
    int64_t nSentNs = 0;
    if (!ParsePong(buffer, static_cast<size_t>(nSize), &nSequence, &nSentNs))
      continue;
    if (nSequence >= m_SentNs.size() || m_bAnswered[nSequence] ||
        m_SentNs[nSequence] != nSentNs)
      continue;
    m_bAnswered[nSequence] = true;
    m_RoundTripNs.push_back(std::max<int64_t>(nReceivedNs - nSentNs, 0));
  }
}

}  // namespace qgflood
