#include "emu/server/net_thread.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>

CNetThread::~CNetThread() {
  Stop();
  if (m_nWakeFd >= 0) close(m_nWakeFd);
}

bool CNetThread::Start(std::string *pError) {
  if (m_Thread.joinable()) return true;
  if (m_nWakeFd < 0) {
    m_nWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nWakeFd < 0) {
      *pError = std::string("eventfd: ") + strerror(errno);
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = false;
    m_bRunning = true;
    UpdateInterrupt();
  }
  // The new thread inherits the signal mask: it blocks every signal, so
  // SIGINT and SIGTERM are left to the main thread, which takes them where
  // it sleeps to its next tick.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool bStarted = true;
  try {
    m_Thread = std::thread(&CNetThread::Run, this);
  } catch (const std::system_error &e) {
    *pError = std::string("cannot start the network thread: ") + e.what();
    bStarted = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!bStarted) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bRunning = false;
  }
  return bStarted;
}

void CNetThread::Stop() {
  if (!m_Thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
    UpdateInterrupt();
  }
  m_Changed.notify_all();
  Wake();
  m_Thread.join();
}

void CNetThread::Pause() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  ++m_nPauseDepth;
  UpdateInterrupt();
  if (m_bParked || !m_bRunning) return;
  Wake();
  m_Changed.wait(lock, [this] { return m_bParked || !m_bRunning; });
}

void CNetThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nPauseDepth > 0) --m_nPauseDepth;
    UpdateInterrupt();
  }
  m_Changed.notify_all();
}

void CNetThread::UpdateInterrupt() {
  m_bInterrupt.store(m_nPauseDepth > 0 || m_bStop, std::memory_order_relaxed);
}

void CNetThread::Run() {
  for (;;) {
    // The flag is only a hint; the mutex is what orders this thread's park
    // against the host's load and unload (and makes their writes visible
    // here when the thread runs again).
    if (m_bInterrupt.load(std::memory_order_relaxed)) {
      std::unique_lock<std::mutex> lock(m_Mutex);
      if (m_bStop) break;
      if (m_nPauseDepth > 0) {
        m_bParked = true;
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return m_nPauseDepth == 0 || m_bStop; });
        m_bParked = false;
        if (m_bStop) break;
      }
      continue;
    }
    if (m_pNet->ReceiveTick(&m_bInterrupt) <= 0) WaitForWork();
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_bRunning = false;
  m_bParked = false;
  m_Changed.notify_all();
}

void CNetThread::WaitForWork() {
  pollfd fds[2] = {{m_pNet->Socket(), POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
  int n = poll(fds, 2, kWaitMilliseconds);
  if (n > 0 && (fds[1].revents & POLLIN) != 0) {
    uint64_t nCount;
    // Emptied here, so the next wait blocks again.
    while (read(m_nWakeFd, &nCount, sizeof nCount) < 0 && errno == EINTR) {
    }
  }
}

void CNetThread::Wake() {
  uint64_t nOne = 1;
  while (write(m_nWakeFd, &nOne, sizeof nOne) < 0 && errno == EINTR) {
  }
}
