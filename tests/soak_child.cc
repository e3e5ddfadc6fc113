#include "tests/soak_child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace qgsoak {

using Clock = std::chrono::steady_clock;

namespace {

void CloseFd(int *pFd) {
  if (*pFd >= 0) close(*pFd);
  *pFd = -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
  CloseFd(&m_nInput);
  if (m_Pid > 0) {
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
  CloseFd(&m_nOutput);
  CloseFd(&m_nError);
}

bool ChildProcess::Start(const std::string &strProgram,
                         const std::vector<std::string> &args, bool bStdin,
                         std::string *pError) {
  int inPipe[2] = {-1, -1}, outPipe[2], errPipe[2];
  if ((bStdin && pipe2(inPipe, O_CLOEXEC) != 0) ||
      pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    *pError = std::string("pipe: ") + strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (bStdin) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                     O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  std::vector<char *> argv = {const_cast<char *>(strProgram.c_str())};
  for (const std::string &strArg : args)
    argv.push_back(const_cast<char *>(strArg.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawn(&m_Pid, strProgram.c_str(), &actions, nullptr,
                       argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (bStdin) close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  m_nInput = inPipe[1];
  m_nOutput = outPipe[0];
  m_nError = errPipe[0];
  if (rc != 0) {
    m_Pid = -1;
    *pError = "cannot start " + strProgram + ": " + strerror(rc);
    return false;
  }
  // A child that exits early must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void ChildProcess::Signal(int nSignal) {
  if (m_Pid > 0) kill(m_Pid, nSignal);
}

void ChildProcess::Write(const std::string &strData) {
  const char *p = strData.data();
  size_t nLeft = strData.size();
  while (m_nInput >= 0 && nLeft > 0) {
    ssize_t n = write(m_nInput, p, nLeft);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      CloseFd(&m_nInput);
      return;
    }
    p += n;
    nLeft -= static_cast<size_t>(n);
  }
}

void ChildProcess::CloseInput() { CloseFd(&m_nInput); }

bool ChildProcess::Pump(std::chrono::milliseconds timeout) {
  if (m_nOutput < 0 && m_nError < 0) return false;
  pollfd fds[2] = {{m_nOutput, POLLIN, 0}, {m_nError, POLLIN, 0}};
  int n = poll(fds, 2, static_cast<int>(timeout.count()));
  if (n <= 0) return true;
  int *pFds[2] = {&m_nOutput, &m_nError};
  std::string *pBuffers[2] = {&m_strOut, &m_strErr};
  for (int i = 0; i < 2; ++i) {
    if (*pFds[i] < 0 || fds[i].revents == 0) continue;
    char szChunk[65536];
    ssize_t r = read(*pFds[i], szChunk, sizeof szChunk);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) {
      CloseFd(pFds[i]);
      continue;
    }
    pBuffers[i]->append(szChunk, static_cast<size_t>(r));
  }
  return m_nOutput >= 0 || m_nError >= 0;
}

bool ChildProcess::Exited() {
  if (m_Pid <= 0) return true;
  int nStatus = 0;
  if (waitpid(m_Pid, &nStatus, WNOHANG) != m_Pid) return false;
  m_Pid = -1;
  m_nStatus = nStatus;
  // The pipes end with the child (nothing else holds their write ends);
  // bounded all the same.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Pump(std::chrono::milliseconds(100)) && Clock::now() < deadline) {
  }
  return true;
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, bool bKill) {
  auto deadline = Clock::now() + timeout;
  while (!Exited()) {
    if (Clock::now() >= deadline) {
      if (bKill && m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, &m_nStatus, 0);
        m_Pid = -1;
      }
      return false;
    }
    // Output keeps moving (or has ended); either way, look again soon.
    if (!Pump(std::chrono::milliseconds(20))) usleep(5000);
  }
  return true;
}

std::string DescribeStatus(int nStatus) {
  if (nStatus == -1) return "still running";
  if (WIFEXITED(nStatus)) return "exit " + std::to_string(WEXITSTATUS(nStatus));
  if (WIFSIGNALED(nStatus))
    return "signal " + std::to_string(WTERMSIG(nStatus));
  return "status " + std::to_string(nStatus);
}

bool ConsoleServer::Start(const std::string &strProgram,
                          const std::vector<std::string> &args,
                          std::string *pError) {
  if (!m_Child.Start(strProgram, args, true, pError)) return false;
  const std::string kListening = "listening on ";
  auto deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    std::string &strOut = m_Child.Out();
    size_t nAt = strOut.find(kListening);
    size_t nEnd =
        nAt == std::string::npos ? std::string::npos : strOut.find('\n', nAt);
    if (nEnd != std::string::npos) {
      std::string strLine = strOut.substr(nAt, nEnd - nAt);
      m_nPort = atoi(strLine.c_str() + strLine.rfind(':') + 1);
      strOut.erase(0, nEnd + 1);
      if (m_nPort <= 0) *pError = "bad listening line: " + strLine;
      return m_nPort > 0;
    }
    if (Clock::now() > deadline ||
        !m_Child.Pump(std::chrono::milliseconds(50))) {
      *pError = "no listening line: " + strOut + m_Child.Err();
      return false;
    }
  }
}

bool ConsoleServer::Run(const std::string &strLine,
                        std::chrono::milliseconds timeout, std::string *pOut) {
  ++m_nMarks;
  const std::string strBegin = "-- soak " + std::to_string(m_nMarks) + " --\n";
  const std::string strEnd =
      "-- soak " + std::to_string(m_nMarks) + " end --\n";
  m_Child.Write("echo " + strBegin + strLine + "\necho " + strEnd);
  auto deadline = Clock::now() + timeout;
  size_t nSearch = 0;
  for (;;) {
    std::string &strOut = m_Child.Out();
    size_t nEnd = strOut.find(strEnd, nSearch);
    if (nEnd != std::string::npos) {
      size_t nBegin = strOut.rfind(strBegin, nEnd);
      if (nBegin == std::string::npos) return false;
      nBegin += strBegin.size();
      pOut->assign(strOut, nBegin, nEnd - nBegin);
      strOut.erase(0, nEnd + strEnd.size());
      return true;
    }
    // Only the tail can hold the start of a mark not yet complete.
    nSearch = strOut.size() > strEnd.size() ? strOut.size() - strEnd.size()
                                            : 0;
    if (Clock::now() > deadline ||
        !m_Child.Pump(std::chrono::milliseconds(50)))
      return false;
  }
}

}  // namespace qgsoak
