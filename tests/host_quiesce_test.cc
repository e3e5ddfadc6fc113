// The network thread's pause handshake, which the plugin host relies on to
// never close a plugin library under a receive: Pause returns only once the
// thread is outside the receive entry, no receive runs until the last
// Resume, and pause, resume and stop compose in any order.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "emu/host/plugin_host.h"
#include "emu/server/net_receiver.h"
#include "emu/server/net_thread.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"

namespace {

using std::chrono::milliseconds;

// ---- A receive entry that the tests control ----

std::atomic<int> s_nCalls{0};
std::mutex s_Mutex;
std::condition_variable s_Changed;
bool s_bBlock = false;    // the next call waits inside until released
bool s_bInside = false;   // a call is waiting inside
bool s_bRelease = false;
std::atomic<bool> s_bPauseReturned{false};
bool s_bPauseReturnedWhileInside = false;

extern "C" int ControlledRecvFrom(int s, char *buf, int len, int flags,
                                  struct sockaddr *from, int *fromlen) {
  s_nCalls.fetch_add(1);
  std::unique_lock<std::mutex> lock(s_Mutex);
  if (s_bBlock) {
    s_bBlock = false;
    s_bInside = true;
    s_Changed.notify_all();
    s_Changed.wait(lock, [] { return s_bRelease; });
    // Still inside: a Pause that has returned by now broke its promise.
    s_bPauseReturnedWhileInside = s_bPauseReturned.load();
    s_bInside = false;
  }
  lock.unlock();
  return Tier0_SystemRecvFrom(s, buf, len, flags, from, fromlen);
}

// Waits (bounded) until `pred` holds.
template <class Pred>
bool WaitUntil(Pred pred, milliseconds timeout = milliseconds(10000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

class NetThreadQuiesceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_nCalls = 0;
    s_bBlock = s_bInside = s_bRelease = false;
    s_bPauseReturned = false;
    s_bPauseReturnedWhileInside = false;
    std::string strError;
    ASSERT_TRUE(m_Net.Open("127.0.0.1", 0, &strError)) << strError;
    __atomic_store_n(&g_pVCR->Hook_recvfrom, &ControlledRecvFrom,
                     __ATOMIC_RELEASE);
  }
  void TearDown() override {
    m_Thread.Stop();
    __atomic_store_n(&g_pVCR->Hook_recvfrom, &Tier0_SystemRecvFrom,
                     __ATOMIC_RELEASE);
  }

  // Sends a ping to the receiver from a fresh socket; answers that socket.
  int SendPing() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(m_Net.Port()));
    sendto(fd, "\xFF\xFF\xFF\xFFiq", 6, 0, reinterpret_cast<sockaddr *>(&to),
           sizeof to);
    return fd;
  }

  CNetReceiver m_Net;
  CNetThread m_Thread{&m_Net};
};

TEST_F(NetThreadQuiesceTest, PauseWaitsForTheReceiveInProgress) {
  {
    std::lock_guard<std::mutex> lock(s_Mutex);
    s_bBlock = true;
  }
  std::string strError;
  ASSERT_TRUE(m_Thread.Start(&strError)) << strError;
  {
    std::unique_lock<std::mutex> lock(s_Mutex);
    ASSERT_TRUE(s_Changed.wait_for(lock, milliseconds(10000),
                                   [] { return s_bInside; }));
  }
  std::thread pauser([this] {
    m_Thread.Pause();
    s_bPauseReturned = true;
  });
  // Time for a Pause that does not wait to return wrongly.
  std::this_thread::sleep_for(milliseconds(50));
  {
    std::lock_guard<std::mutex> lock(s_Mutex);
    s_bRelease = true;
  }
  s_Changed.notify_all();
  pauser.join();
  EXPECT_FALSE(s_bPauseReturnedWhileInside);
  EXPECT_TRUE(s_bPauseReturned);

  // Parked: a datagram waits, unread, until Resume.
  int nCalls = s_nCalls.load();
  int fd = SendPing();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(nCalls, s_nCalls.load());
  EXPECT_EQ(0u, m_Net.Stats().m_nPingsAnswered);
  m_Thread.Resume();
  EXPECT_TRUE(WaitUntil([this] { return m_Net.Stats().m_nPingsAnswered == 1; }));
  close(fd);
}

TEST_F(NetThreadQuiesceTest, PausesNestAndStopEndsAPausedThread) {
  // Before the thread runs, Pause has nothing to wait for.
  m_Thread.Pause();
  m_Thread.Resume();

  std::string strError;
  ASSERT_TRUE(m_Thread.Start(&strError)) << strError;
  ASSERT_TRUE(WaitUntil([] { return s_nCalls.load() > 0; }));
  m_Thread.Pause();
  m_Thread.Pause();
  m_Thread.Resume();
  // One Pause is still open: nothing is read.
  int nCalls = s_nCalls.load();
  int fd = SendPing();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(nCalls, s_nCalls.load());
  m_Thread.Resume();
  EXPECT_TRUE(WaitUntil([this] { return m_Net.Stats().m_nPingsAnswered == 1; }));
  close(fd);

  // Stop while paused: the thread ends, and a late Resume is harmless.
  m_Thread.Pause();
  m_Thread.Stop();
  m_Thread.Resume();
  m_Thread.Pause();  // no thread: returns at once
  m_Thread.Resume();
  // Started again, it receives again.
  ASSERT_TRUE(m_Thread.Start(&strError)) << strError;
  fd = SendPing();
  EXPECT_TRUE(WaitUntil([this] { return m_Net.Stats().m_nPingsAnswered == 2; }));
  close(fd);
}

// The host pauses the thread around each load and unload: the plugin's Load
// and Unload, and the closing of its library, all happen while it is
// parked.
class CRecordingQuiesce : public IQuiesce {
 public:
  explicit CRecordingQuiesce(IQuiesce *pInner) : m_pInner(pInner) {}
  void Pause() override {
    m_pInner->Pause();
    ++m_nDepth;
    ++m_nPauses;
  }
  void Resume() override {
    --m_nDepth;
    m_pInner->Resume();
  }
  IQuiesce *m_pInner;
  int m_nDepth = 0;
  int m_nPauses = 0;
};

TEST_F(NetThreadQuiesceTest, HostLoadsAndUnloadsWithTheThreadParked) {
  __atomic_store_n(&g_pVCR->Hook_recvfrom, &Tier0_SystemRecvFrom,
                   __ATOMIC_RELEASE);
  std::string strError;
  ASSERT_TRUE(m_Thread.Start(&strError)) << strError;
  CStringOutput output;
  // No console service: the plugin installs its filter, then fails to load
  // and takes it out again, and its library is closed; all while parked.
  CPluginHost host(&output, nullptr);
  CRecordingQuiesce quiesce(&m_Thread);
  host.SetQuiesce(&quiesce);
  const char *pszDir = getenv("QG_BIN_DIR");
  std::string strPlugin =
      std::string(pszDir != nullptr ? pszDir : ".") + "/quellgate_mm.so";
  for (int i = 0; i < 20; ++i) {
    int fd = SendPing();
    EXPECT_EQ(0, host.LoadPlugin(strPlugin.c_str(), false));
    close(fd);
  }
  EXPECT_EQ(20, quiesce.m_nPauses);
  EXPECT_EQ(0, quiesce.m_nDepth);
  EXPECT_EQ(&Tier0_SystemRecvFrom,
            __atomic_load_n(&g_pVCR->Hook_recvfrom, __ATOMIC_ACQUIRE));
  // The thread runs on after the last Resume.
  uint64_t nBefore = m_Net.Stats().m_nPingsAnswered;
  int fd = SendPing();
  EXPECT_TRUE(WaitUntil(
      [&] { return m_Net.Stats().m_nPingsAnswered > nBefore; }));
  close(fd);
  host.SetQuiesce(nullptr);
}

}  // namespace
