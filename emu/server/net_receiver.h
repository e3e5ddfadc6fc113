// The engine's network side: one non-blocking UDP socket, drained once per
// tick through the receive entry of tier0's hook table, on the server's main
// thread or on its network thread (net_thread.h).
//
// The drain stops at the first read that yields 0 bytes or fails, as the
// engine's does.  That is what makes empty datagrams harmful: each one ends
// the tick's receive loop, so on the main thread a queue of N of them holds
// back whatever arrived after them for N ticks.  A module that replaces the receive entry
// (the plugin's filter) sees every read, because the entry is read afresh on
// every call, with an acquire load that pairs with the module's release
// store: a receive on another thread that finds the new entry also finds
// everything the module set up before publishing it.
//
// A datagram that begins with FF FF FF FF is connectionless; FF FF FF FF 'i'
// is a ping and is answered at once with FF FF FF FF 'j' and the same
// payload.  Every other datagram is counted and dropped: the emulated engine
// has no client channels.
#ifndef QUELLGATE_EMU_SERVER_NET_RECEIVER_H_
#define QUELLGATE_EMU_SERVER_NET_RECEIVER_H_

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

// The receive loop's counters at one moment.  Each is read on its own, so a
// snapshot taken during a tick may be a few reads apart between fields.
struct NetStats {
  uint64_t m_nDatagrams = 0;     // reads that yielded a datagram, empty ones too
  uint64_t m_nBytes = 0;         // bytes those reads reported
  uint64_t m_nEmptyReads = 0;    // reads that yielded 0 bytes (each ends a tick)
  uint64_t m_nPingsAnswered = 0;
  uint64_t m_nDropped = 0;       // datagrams that were not pings
  uint64_t m_nTicks = 0;         // receive loops run
};

// One thread receives (the server's main thread, or its network thread with
// --net-thread); any thread may read the counters.
class CNetReceiver {
 public:
  CNetReceiver() = default;
  ~CNetReceiver();
  CNetReceiver(const CNetReceiver &) = delete;
  CNetReceiver &operator=(const CNetReceiver &) = delete;

  // Binds a non-blocking UDP socket to `pszAddress`:`nPort` (0 lets the
  // system pick).  On failure answers false and says why in `*pError`.
  bool Open(const char *pszAddress, int nPort, std::string *pError);
  // The port actually bound.
  int Port() const { return m_nPort; }
  // The socket, for a thread that waits until it is readable.
  int Socket() const { return m_nSocket; }

  // One tick's receive loop; see the file comment.  When `pInterrupt` is
  // given, the loop also ends before a read once it is true, so a thread
  // that is asked to pause or stop never waits for a long drain.  Answers
  // how the tick ended: the last read's result, 0 for an empty datagram and
  // negative when nothing was waiting (or the read failed); a positive
  // answer when the interrupt or the tick's read bound ended it, and more
  // may be waiting.
  int ReceiveTick(const std::atomic<bool> *pInterrupt = nullptr);

  // The counters now; safe from any thread.
  NetStats Stats() const;

 private:
  // Written by the receiving thread only, read by any: relaxed atomics, each
  // increment a plain load and store (no locked instruction on the path).
  struct Counters {
    std::atomic<uint64_t> m_nDatagrams{0};
    std::atomic<uint64_t> m_nBytes{0};
    std::atomic<uint64_t> m_nEmptyReads{0};
    std::atomic<uint64_t> m_nPingsAnswered{0};
    std::atomic<uint64_t> m_nDropped{0};
    std::atomic<uint64_t> m_nTicks{0};
  };

  void HandleDatagram(int nLength, const void *pFrom, int nFromLen);

  int m_nSocket = -1;
  int m_nPort = 0;
  std::vector<char> m_Buffer;
  std::vector<char> m_Reply;
  Counters m_Stats;
};

#endif  // QUELLGATE_EMU_SERVER_NET_RECEIVER_H_
