// The engine's network side: one non-blocking UDP socket, drained once per
// tick through the receive entry of tier0's hook table.
//
// The drain stops at the first read that yields 0 bytes or fails, as the
// engine's does.  That is what makes empty datagrams harmful: each one ends
// the tick's receive loop, so a queue of N of them holds back whatever
// arrived after them for N ticks.  A module that replaces the receive entry
// (the plugin's filter) sees every read, because the entry is read afresh on
// every call.
//
// A datagram that begins with FF FF FF FF is connectionless; FF FF FF FF 'i'
// is a ping and is answered at once with FF FF FF FF 'j' and the same
// payload.  Every other datagram is counted and dropped: the emulated engine
// has no client channels.
#ifndef QUELLGATE_EMU_SERVER_NET_RECEIVER_H_
#define QUELLGATE_EMU_SERVER_NET_RECEIVER_H_

#include <stdint.h>

#include <string>
#include <vector>

struct NetStats {
  uint64_t m_nDatagrams = 0;     // reads that yielded a datagram, empty ones too
  uint64_t m_nBytes = 0;         // bytes those reads reported
  uint64_t m_nEmptyReads = 0;    // reads that yielded 0 bytes (each ends a tick)
  uint64_t m_nPingsAnswered = 0;
  uint64_t m_nDropped = 0;       // datagrams that were not pings
  uint64_t m_nTicks = 0;         // receive loops run
};

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

  // One tick's receive loop; see the file comment.
  void ReceiveTick();

  const NetStats &Stats() const { return m_Stats; }

 private:
  void HandleDatagram(int nLength, const void *pFrom, int nFromLen);

  int m_nSocket = -1;
  int m_nPort = 0;
  std::vector<char> m_Buffer;
  std::vector<char> m_Reply;
  NetStats m_Stats;
};

#endif  // QUELLGATE_EMU_SERVER_NET_RECEIVER_H_
