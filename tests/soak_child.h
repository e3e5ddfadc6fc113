// Test support for the soak: a child process with its stdin, stdout and
// stderr on pipes, read without blocking so that the test can drive one
// child (the server's console) while another (the flood) runs beside it.
//
// Output is kept in two buffers that the owner reads and trims; nothing
// waits without a deadline, and the child is killed when the object goes
// away while it still runs.
#ifndef QUELLGATE_TESTS_SOAK_CHILD_H_
#define QUELLGATE_TESTS_SOAK_CHILD_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qgsoak {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts `strProgram` with `args`.  With `bStdin` false its stdin is
  // /dev/null.  False, with the reason in `*pError`, when it cannot start.
  bool Start(const std::string &strProgram,
             const std::vector<std::string> &args, bool bStdin,
             std::string *pError);
  pid_t Pid() const { return m_Pid; }

  // Sends `nSignal` to the child while it runs.
  void Signal(int nSignal);

  // Writes `strData` to the child's stdin in full (or until it closes).
  void Write(const std::string &strData);
  void CloseInput();

  // Reads whatever the child has written within `timeout`, into Out() and
  // Err().  False once both pipes have ended.
  bool Pump(std::chrono::milliseconds timeout);

  // True once the child has exited; its wait status is then in Status().
  // Reads the rest of its output first.
  bool Exited();
  // Waits until the child exits or the deadline passes; true when it
  // exited.  At the deadline with `bKill`, kills it and answers false.
  bool Wait(std::chrono::milliseconds timeout, bool bKill);
  int Status() const { return m_nStatus; }

  std::string &Out() { return m_strOut; }
  std::string &Err() { return m_strErr; }

 private:
  pid_t m_Pid = -1;
  int m_nInput = -1;
  int m_nOutput = -1;
  int m_nError = -1;
  int m_nStatus = -1;
  std::string m_strOut;
  std::string m_strErr;
};

// A one-line description of a wait status: "exit 0", "signal 9", ...
std::string DescribeStatus(int nStatus);

// qgate-server as a child, its console driven through stdin.
class ConsoleServer {
 public:
  // Starts `strProgram` with `args` and waits (at most 60 s) for its
  // "listening on ADDR:PORT" line.
  bool Start(const std::string &strProgram,
             const std::vector<std::string> &args, std::string *pError);
  int Port() const { return m_nPort; }
  ChildProcess &Child() { return m_Child; }

  // Runs one console line and answers in *pOut exactly what it printed:
  // the line goes in between two `echo` marks, and the answer is the
  // output between them.  Output before the first mark is dropped, so the
  // buffer never grows past one answer.  False at the deadline or when the
  // server's output ends.
  bool Run(const std::string &strLine, std::chrono::milliseconds timeout,
           std::string *pOut);

 private:
  ChildProcess m_Child;
  int m_nPort = 0;
  int m_nMarks = 0;
};

}  // namespace qgsoak

#endif  // QUELLGATE_TESTS_SOAK_CHILD_H_
