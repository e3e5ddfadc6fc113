#include "tests/server_e2e_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

extern char **environ;

namespace qgtest {

using Clock = std::chrono::steady_clock;

std::string BinDir() {
  const char *pszDir = getenv("QG_BIN_DIR");
  return pszDir != nullptr ? pszDir : ".";
}

namespace {

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ServerProcess::~ServerProcess() {
  if (m_nInput >= 0) close(m_nInput);
  if (m_Pid > 0) {
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
  if (m_nOutput >= 0) close(m_nOutput);
}

bool ServerProcess::Start(const std::vector<std::string> &args) {
  int inPipe[2], outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return false;
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDERR_FILENO);

  std::string strProgram = BinDir() + "/qgate-server";
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(strProgram.c_str()));
  for (const std::string &strArg : args) {
    argv.push_back(const_cast<char *>(strArg.c_str()));
  }
  argv.push_back(nullptr);
  int rc = posix_spawn(&m_Pid, strProgram.c_str(), &actions, nullptr,
                       argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  m_nInput = inPipe[1];
  m_nOutput = outPipe[0];
  if (rc != 0) {
    m_Pid = -1;
    m_strOutput = std::string("posix_spawn: ") + strerror(rc);
    return false;
  }
  std::string strLine =
      WaitForLine("listening on ", std::chrono::milliseconds(10000));
  unsigned a, b, c, d;
  int nPort = 0;
  if (sscanf(strLine.c_str(), "listening on %u.%u.%u.%u:%d", &a, &b, &c, &d,
             &nPort) != 5) {
    return false;
  }
  m_nPort = nPort;
  return nPort > 0;
}

void ServerProcess::SendLine(const std::string &strLine) {
  if (m_nInput < 0) return;
  std::string strData = strLine + "\n";
  const char *p = strData.data();
  size_t nLeft = strData.size();
  while (nLeft > 0) {
    ssize_t n = write(m_nInput, p, nLeft);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    nLeft -= static_cast<size_t>(n);
  }
}

void ServerProcess::CloseInput() {
  if (m_nInput >= 0) close(m_nInput);
  m_nInput = -1;
}

void ServerProcess::Signal(int nSignal) {
  if (m_Pid > 0) kill(m_Pid, nSignal);
}

bool ServerProcess::ReadSome(std::chrono::milliseconds timeout) {
  if (m_bOutputEnded) return false;
  pollfd pfd = {m_nOutput, POLLIN, 0};
  int n = poll(&pfd, 1, static_cast<int>(timeout.count()));
  if (n <= 0) return true;
  char szChunk[4096];
  ssize_t r = read(m_nOutput, szChunk, sizeof szChunk);
  if (r < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (r <= 0) {
    m_bOutputEnded = true;
    return false;
  }
  m_strOutput.append(szChunk, static_cast<size_t>(r));
  return true;
}

std::string ServerProcess::WaitForLine(const std::string &strPrefix,
                                       std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    // Look at the complete lines not matched before.
    size_t nStart = m_nScanned;
    for (;;) {
      size_t nEnd = m_strOutput.find('\n', nStart);
      if (nEnd == std::string::npos) break;
      std::string strLine = m_strOutput.substr(nStart, nEnd - nStart);
      nStart = nEnd + 1;
      // A prompt may sit in front of the line on a terminal; not on a pipe.
      if (strLine.compare(0, strPrefix.size(), strPrefix) == 0) {
        m_nScanned = nStart;
        return strLine;
      }
    }
    int nLeft = MillisecondsLeft(deadline);
    if (nLeft == 0) return std::string();
    if (!ReadSome(std::chrono::milliseconds(nLeft))) return std::string();
  }
}

std::string ServerProcess::RunConsole(const std::string &strLine,
                                      std::chrono::milliseconds timeout) {
  ++m_nMarks;
  const std::string strBegin =
      "-- qgtest mark " + std::to_string(m_nMarks) + " begin --";
  const std::string strEnd =
      "-- qgtest mark " + std::to_string(m_nMarks) + " end --";
  SendLine("echo " + strBegin + "\n" + strLine + "\necho " + strEnd);
  auto deadline = Clock::now() + timeout;
  if (WaitForLine(strBegin, timeout).empty()) return "<no answer>";
  size_t nStart = m_nScanned;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  if (left.count() <= 0 || WaitForLine(strEnd, left).empty()) {
    return "<no answer>" + m_strOutput.substr(nStart);
  }
  size_t nEnd = m_nScanned - strEnd.size() - 1;
  return m_strOutput.substr(nStart, nEnd - nStart);
}

int ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (m_Pid <= 0) return -1;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int nStatus = 0;
    pid_t r = waitpid(m_Pid, &nStatus, WNOHANG);
    if (r == m_Pid) {
      m_Pid = -1;
      while (ReadSome(std::chrono::milliseconds(100))) {
      }
      return nStatus;
    }
    int nLeft = MillisecondsLeft(deadline);
    if (nLeft == 0) return -1;
    if (!ReadSome(std::chrono::milliseconds(nLeft < 20 ? nLeft : 20))) {
      // Output closed: the exit follows at once.
      usleep(1000);
    }
  }
}

LoopbackSocket::LoopbackSocket() : LoopbackSocket("127.0.0.1") {}

LoopbackSocket::LoopbackSocket(const char *pszAddress) {
  m_nSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  // Spoofed sources stay inside the loopback network.
  if (inet_pton(AF_INET, pszAddress, &addr.sin_addr) != 1 ||
      (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
    return;
  }
  m_bBound = m_nSocket >= 0 &&
             bind(m_nSocket, reinterpret_cast<sockaddr *>(&addr),
                  sizeof addr) == 0;
}

LoopbackSocket::~LoopbackSocket() {
  if (m_nSocket >= 0) close(m_nSocket);
}

bool LoopbackSocket::SendTo(int nPort, const std::string &strData) {
  sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never anywhere else
  to.sin_port = htons(static_cast<uint16_t>(nPort));
  ssize_t n = sendto(m_nSocket, strData.data(), strData.size(), 0,
                     reinterpret_cast<sockaddr *>(&to), sizeof to);
  return n == static_cast<ssize_t>(strData.size());
}

bool LoopbackSocket::Receive(std::string *pData,
                             std::chrono::milliseconds timeout) {
  pollfd pfd = {m_nSocket, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char szBuffer[2048];
  ssize_t n = recv(m_nSocket, szBuffer, sizeof szBuffer, MSG_DONTWAIT);
  if (n < 0) return false;
  pData->assign(szBuffer, static_cast<size_t>(n));
  return true;
}

std::string PingDatagram(const std::string &strPayload) {
  return std::string("\xFF\xFF\xFF\xFFi", 5) + strPayload;
}

std::string PongDatagram(const std::string &strPayload) {
  return std::string("\xFF\xFF\xFF\xFFj", 5) + strPayload;
}

bool SyncWithPing(int nPort, std::chrono::milliseconds timeout) {
  static std::atomic<int> s_nSync{0};
  std::string strPayload = "sync-" + std::to_string(++s_nSync);
  LoopbackSocket pinger;
  if (!pinger.SendTo(nPort, PingDatagram(strPayload))) return false;
  std::string strReply;
  return pinger.Receive(&strReply, timeout) &&
         strReply == PongDatagram(strPayload);
}

bool QueryCounters(ServerProcess *pServer, ServerCounters *pCounters) {
  pServer->SendLine("net_stats");
  std::string strLine =
      pServer->WaitForLine("net_stats:", std::chrono::milliseconds(10000));
  return ParseCountersLine(strLine, pCounters);
}

bool ParseCountersLine(const std::string &strLine, ServerCounters *pCounters) {
  ServerCounters c;
  int nUsed = 0;
  int n = sscanf(strLine.c_str(),
                 "net_stats: datagrams %" SCNu64 ", bytes %" SCNu64
                 ", empty reads %" SCNu64 ", pings answered %" SCNu64
                 ", dropped %" SCNu64 ", ticks %" SCNu64 "%n",
                 &c.m_nDatagrams, &c.m_nBytes, &c.m_nEmptyReads,
                 &c.m_nPingsAnswered, &c.m_nDropped, &c.m_nTicks, &nUsed);
  if (n != 6 || static_cast<size_t>(nUsed) != strLine.size()) return false;
  *pCounters = c;
  return true;
}

}  // namespace qgtest
