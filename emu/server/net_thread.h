// The engine's network thread (qgate-server --net-thread): receives run on
// their own thread, as engines do in threaded-socket mode, while the main
// thread runs the console and the ticks.
//
// The thread keeps the engine's drain rule.  One net tick reads through the
// receive entry until a read yields 0 bytes or fails (CNetReceiver's
// ReceiveTick); then the thread waits until the socket is readable again,
// or for at most kWaitMilliseconds.  So here an empty datagram still ends a
// tick and costs the thread a wait (one more system call per datagram, on
// top of the read), but it does not hold the queue back for a server tick
// as it does when the main thread receives: the cost it shows is CPU per
// datagram, not latency.
//
// Pause and Resume (IQuiesce) are the plugin host's handshake: Pause asks
// the thread to park, wakes it if it is waiting, and returns once it is
// parked between ticks, outside every receive call and so outside any
// plugin's filter; it stays parked until the last Resume.  A tick in
// progress is cut short before its next read, so a pause never waits for a
// long drain.  Start, Stop, Pause and Resume are called from the server's
// main thread (any thread but this one).
#ifndef QUELLGATE_EMU_SERVER_NET_THREAD_H_
#define QUELLGATE_EMU_SERVER_NET_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "emu/host/quiesce.h"
#include "emu/server/net_receiver.h"

class CNetThread : public IQuiesce {
 public:
  // The longest wait for readability: the thread also wakes at once for a
  // pause or a stop; this only bounds a wake-up that was missed.
  static constexpr int kWaitMilliseconds = 100;

  // `pNet` must be open and must outlive the thread.
  explicit CNetThread(CNetReceiver *pNet) : m_pNet(pNet) {}
  // Stops the thread.
  ~CNetThread() override;
  CNetThread(const CNetThread &) = delete;
  CNetThread &operator=(const CNetThread &) = delete;

  // Starts receiving; the thread takes no signals (they stay the main
  // thread's).  False, with the reason in `*pError`, when it cannot start.
  bool Start(std::string *pError);
  // Ends the thread and waits for it; receives stop.  Idempotent.
  void Stop();

  // IQuiesce.  Pause returns at once when the thread is not running.
  void Pause() override;
  void Resume() override;

 private:
  void Run();
  // Waits until the socket is readable, a wake-up arrives, or the timeout.
  void WaitForWork();
  void Wake();
  // Under m_Mutex: publishes whether the thread must leave its ticks.
  void UpdateInterrupt();

  CNetReceiver *m_pNet;
  std::thread m_Thread;
  int m_nWakeFd = -1;  // an eventfd that Pause and Stop write to

  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  int m_nPauseDepth = 0;    // Pause calls not yet resumed
  bool m_bStop = false;     // Stop was asked
  bool m_bRunning = false;  // the thread is between its start and its end
  bool m_bParked = false;   // the thread waits for the last Resume
  // m_nPauseDepth > 0 || m_bStop, readable without the lock: the thread
  // checks it before every read.
  std::atomic<bool> m_bInterrupt{false};
};

#endif  // QUELLGATE_EMU_SERVER_NET_THREAD_H_
