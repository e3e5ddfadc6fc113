// Test support: runs qgate-server from $QG_BIN_DIR as a child process with
// its console on pipes, and talks to it over UDP on 127.0.0.1.  Every wait
// is bounded, and the child is killed when the object goes away.
#ifndef QUELLGATE_TESTS_SERVER_E2E_SUPPORT_H_
#define QUELLGATE_TESTS_SERVER_E2E_SUPPORT_H_

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qgtest {

// The folder of the built programs and libraries.
std::string BinDir();

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess &) = delete;
  ServerProcess &operator=(const ServerProcess &) = delete;

  // Starts qgate-server with `args` and waits for its listening line.  False
  // (with everything printed so far in Output()) when it does not come.
  bool Start(const std::vector<std::string> &args);
  int Port() const { return m_nPort; }

  // Writes one console line.
  void SendLine(const std::string &strLine);
  void CloseInput();
  void Signal(int nSignal);

  // Reads output until a line that begins with `strPrefix` arrives; answers
  // that line (without its end), or an empty text at the deadline or at end
  // of output.
  std::string WaitForLine(const std::string &strPrefix,
                          std::chrono::milliseconds timeout);
  // Runs one console line and answers exactly what it printed, byte for
  // byte: the line is framed by two `echo` marks, and the answer is the
  // output between them.  Answers "<no answer>" and what was printed at the
  // deadline.
  std::string RunConsole(const std::string &strLine,
                         std::chrono::milliseconds timeout =
                             std::chrono::milliseconds(10000));
  // Waits for the child to exit, reading its output to the end.  Answers
  // the wait status, or -1 at the deadline.
  int WaitForExit(std::chrono::milliseconds timeout);

  // All output read so far.
  const std::string &Output() const { return m_strOutput; }

 private:
  // Reads what is available within `timeout`; false at end of output.
  bool ReadSome(std::chrono::milliseconds timeout);

  pid_t m_Pid = -1;
  int m_nInput = -1;
  int m_nOutput = -1;
  int m_nPort = 0;
  bool m_bOutputEnded = false;
  std::string m_strOutput;
  size_t m_nScanned = 0;  // lines before this offset were already matched
  int m_nMarks = 0;       // RunConsole's marks so far
};

// A UDP socket bound to 127.0.0.1 (or another address inside 127.0.0.0/8,
// which Linux accepts without privileges) on a free port, that sends only to
// 127.0.0.1.
class LoopbackSocket {
 public:
  LoopbackSocket();
  // Bound to `pszAddress`, which must lie inside 127.0.0.0/8; Bound() tells
  // whether that worked.
  explicit LoopbackSocket(const char *pszAddress);
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket &) = delete;
  LoopbackSocket &operator=(const LoopbackSocket &) = delete;

  bool Bound() const { return m_bBound; }
  bool SendTo(int nPort, const std::string &strData);
  // One datagram within `timeout`; false when none came.
  bool Receive(std::string *pData, std::chrono::milliseconds timeout);

 private:
  int m_nSocket = -1;
  bool m_bBound = false;
};

// A connectionless ping (FF FF FF FF 'i' and the payload), and the engine's
// answer to it (FF FF FF FF 'j' and the same payload).
std::string PingDatagram(const std::string &strPayload);
std::string PongDatagram(const std::string &strPayload);

// Sends a ping from 127.0.0.1 and waits for its answer: once it comes, the
// server has read every datagram that was sent to it before.  False when no
// answer comes within `timeout`.
bool SyncWithPing(int nPort, std::chrono::milliseconds timeout =
                                 std::chrono::milliseconds(30000));

// The counters of one net_stats line.
struct ServerCounters {
  uint64_t m_nDatagrams = 0;
  uint64_t m_nBytes = 0;
  uint64_t m_nEmptyReads = 0;
  uint64_t m_nPingsAnswered = 0;
  uint64_t m_nDropped = 0;
  uint64_t m_nTicks = 0;
};

// Runs net_stats on the server's console and parses the answer.
bool QueryCounters(ServerProcess *pServer, ServerCounters *pCounters);
// Parses one whole `net_stats:` line (without its line end); false when it
// is out of shape.
bool ParseCountersLine(const std::string &strLine, ServerCounters *pCounters);

}  // namespace qgtest

#endif  // QUELLGATE_TESTS_SERVER_E2E_SUPPORT_H_
