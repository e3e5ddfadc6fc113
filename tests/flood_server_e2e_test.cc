// qgate-flood against qgate-server, over UDP on 127.0.0.1: the tool's JSON
// summary, the plugin's attacker table as `qgat_status` prints it, and the
// server's own counters must all tell the same story about one flood.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/server_e2e_support.h"

extern char **environ;

namespace qgtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bytes of one ping as the tool sends it: FF FF FF FF 'i', then a 4-byte
// sequence and an 8-byte send time.
constexpr uint64_t kPingBytes = 17;
// What the filter reports to the engine for each empty datagram.
constexpr uint64_t kEmptyReportBytes = 25;

struct ToolResult {
  int m_nExit = -1;  // -1: killed by the watchdog or not started
  std::string m_strOut;
};

// Runs qgate-flood with `args` and its stdout on a pipe, stderr passed
// through.  The tool is killed if it is still running after 60 s.
ToolResult RunFlood(const std::vector<std::string> &args) {
  ToolResult result;
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  std::string strProgram = BinDir() + "/qgate-flood";
  std::vector<char *> argv = {const_cast<char *>(strProgram.c_str())};
  for (const std::string &strArg : args)
    argv.push_back(const_cast<char *>(strArg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, strProgram.c_str(), &actions, nullptr,
                       argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    ADD_FAILURE() << "cannot start " << strProgram << ": " << strerror(rc);
    return result;
  }
  auto deadline = Clock::now() + std::chrono::seconds(60);
  bool bKilled = false;
  for (;;) {
    pollfd pfd = {outPipe[0], POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0) {
      char szChunk[4096];
      ssize_t n = read(outPipe[0], szChunk, sizeof szChunk);
      if (n > 0) {
        result.m_strOut.append(szChunk, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) break;  // end of output: the tool is exiting
    }
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      bKilled = true;
      break;
    }
  }
  close(outPipe[0]);
  int nStatus = 0;
  waitpid(pid, &nStatus, 0);
  if (bKilled) {
    ADD_FAILURE() << "qgate-flood outlived the watchdog";
  } else if (WIFEXITED(nStatus)) {
    result.m_nExit = WEXITSTATUS(nStatus);
  }
  return result;
}

// The text of member `strKey` in a one-line JSON object with no nested
// arrays: a number, a string without its quotes, "null", or a whole nested
// object.  Empty when the member is missing.
std::string JsonMember(const std::string &strJson, const std::string &strKey) {
  std::string strNeedle = "\"" + strKey + "\":";
  // Members of the top level only: skip matches inside a nested object.
  size_t nPos = 0;
  for (;;) {
    nPos = strJson.find(strNeedle, nPos);
    if (nPos == std::string::npos) return std::string();
    int nDepth = 0;
    for (size_t i = 0; i < nPos; ++i) {
      if (strJson[i] == '{') ++nDepth;
      if (strJson[i] == '}') --nDepth;
    }
    if (nDepth == 1) break;
    nPos += strNeedle.size();
  }
  size_t nStart = nPos + strNeedle.size();
  if (nStart >= strJson.size()) return std::string();
  if (strJson[nStart] == '"') {
    size_t nEnd = strJson.find('"', nStart + 1);
    return strJson.substr(nStart + 1, nEnd - nStart - 1);
  }
  if (strJson[nStart] == '{') {
    size_t nEnd = strJson.find('}', nStart);
    return strJson.substr(nStart, nEnd - nStart + 1);
  }
  size_t nEnd = strJson.find_first_of(",}", nStart);
  return strJson.substr(nStart, nEnd - nStart);
}

uint64_t JsonCount(const std::string &strJson, const std::string &strKey) {
  std::string strValue = JsonMember(strJson, strKey);
  EXPECT_FALSE(strValue.empty()) << strKey << " missing in " << strJson;
  return strtoull(strValue.c_str(), nullptr, 10);
}

struct StatusRow {
  std::string m_strAddress;
  long long m_nCount;
};

// Runs qgat_status on the server console and parses its report: the state
// line, the header, the rows, the footer.  False when the report is
// malformed or does not come within 10 s.
bool QueryStatus(ServerProcess *pServer, std::vector<StatusRow> *pRows) {
  const std::string kState = "[-] Quellgate - Enable\n";
  const std::string kHeader = " Attacker IP\t|\tPacket\n";
  const std::string kRule(32, '-');
  pServer->SendLine("qgat_status");
  // The header, the rule under it, and the footer's rule.
  if (pServer->WaitForLine(" Attacker IP", milliseconds(10000)).empty() ||
      pServer->WaitForLine(kRule, milliseconds(10000)).empty() ||
      pServer->WaitForLine(kRule, milliseconds(10000)).empty())
    return false;
  const std::string &strOutput = pServer->Output();
  size_t nHeader = strOutput.rfind(kHeader);
  if (nHeader < kState.size() ||
      strOutput.compare(nHeader - kState.size(), kState.size(), kState) != 0)
    return false;
  size_t i = nHeader + kHeader.size();
  if (strOutput.compare(i, kRule.size() + 1, kRule + "\n") != 0) return false;
  i += kRule.size() + 1;
  pRows->clear();
  for (;;) {
    size_t nEnd = strOutput.find('\n', i);
    if (nEnd == std::string::npos) return false;
    std::string strLine = strOutput.substr(i, nEnd - i);
    i = nEnd + 1;
    if (strLine == kRule) return true;
    size_t nBar = strLine.find("\t|\t");
    if (strLine.empty() || strLine[0] != ' ' || nBar == std::string::npos)
      return false;
    pRows->push_back({strLine.substr(1, nBar - 1),
                      strtoll(strLine.c_str() + nBar + 3, nullptr, 10)});
  }
}

struct FloodCase {
  const char *pszName;
  const char *pszMode;  // the tool's --mode
  int nSize;            // --size: 0 floods empty datagrams
  uint64_t nCount;      // --count
  bool bNetThread;      // the server receives on a network thread
};

void PrintTo(const FloodCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class FloodServerE2E : public ::testing::TestWithParam<FloodCase> {};

TEST_P(FloodServerE2E, SummaryStatusAndCountersAgree) {
  const FloodCase &c = GetParam();
  if (std::string(c.pszMode) == "raw") {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) GTEST_SKIP() << "raw sockets need CAP_NET_RAW";
    close(fd);
  }
  ServerProcess server;
  std::vector<std::string> serverArgs = {"--port", "0"};
  if (c.bNetThread) serverArgs.push_back("--net-thread");
  ASSERT_TRUE(server.Start(serverArgs)) << server.Output();
  const std::string strTarget = "127.0.0.1:" + std::to_string(server.Port());

  // Paced so the pings have a flood to run through (about half a second);
  // the server's queue is far larger than a tick's worth at this rate.
  ToolResult run = RunFlood(
      {"--target", strTarget, "--mode", c.pszMode, "--sources", "3",
       "--size", std::to_string(c.nSize), "--count", std::to_string(c.nCount),
       "--rate", "1200", "--ping", "20", "--max-seconds", "30", "--json"});
  ASSERT_EQ(0, run.m_nExit) << run.m_strOut;
  const std::string &strJson = run.m_strOut;
  ASSERT_EQ('\n', strJson.empty() ? 0 : strJson.back()) << strJson;
  EXPECT_EQ(1u, static_cast<size_t>(
                    std::count(strJson.begin(), strJson.end(), '\n')));
  EXPECT_EQ(strTarget, JsonMember(strJson, "target"));
  EXPECT_EQ(c.pszMode, JsonMember(strJson, "mode"));
  EXPECT_EQ(c.nCount, JsonCount(strJson, "sent"));
  EXPECT_EQ(c.nCount * c.nSize, JsonCount(strJson, "bytes"));
  EXPECT_EQ(static_cast<uint64_t>(c.nSize), JsonCount(strJson, "size"));
  EXPECT_EQ(3u, JsonCount(strJson, "sources"));
  EXPECT_EQ("count", JsonMember(strJson, "stopped_by"));
  const std::string strPing = JsonMember(strJson, "ping");
  ASSERT_EQ('{', strPing.empty() ? 0 : strPing[0]) << strJson;
  const uint64_t nPings = JsonCount(strPing, "sent");
  const uint64_t nAnswered = JsonCount(strPing, "answered");
  EXPECT_GT(nPings, 0u);
  EXPECT_EQ(nPings, nAnswered + JsonCount(strPing, "lost"));

  // Wait (bounded) until the server has read the whole flood and every
  // ping: from then on its counters no longer move.
  ServerCounters counters;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    ASSERT_TRUE(QueryCounters(&server, &counters)) << server.Output();
    if ((counters.m_nDropped >= c.nCount &&
         counters.m_nPingsAnswered >= nPings) ||
        Clock::now() > deadline)
      break;
    std::this_thread::sleep_for(milliseconds(50));
  }
  // Every flood datagram was read as one datagram and dropped as
  // not-a-ping; every ping was answered.  The filter reports each empty
  // datagram as 25 bytes, so the engine never saw an empty read.
  EXPECT_EQ(c.nCount, counters.m_nDropped);
  EXPECT_EQ(nPings, counters.m_nPingsAnswered);
  EXPECT_LE(nAnswered, counters.m_nPingsAnswered);
  EXPECT_EQ(c.nCount + nPings, counters.m_nDatagrams);
  EXPECT_EQ(0u, counters.m_nEmptyReads);
  const uint64_t nBytesEach = c.nSize == 0 ? kEmptyReportBytes : c.nSize;
  EXPECT_EQ(c.nCount * nBytesEach + nPings * kPingBytes, counters.m_nBytes);

  std::vector<StatusRow> rows;
  ASSERT_TRUE(QueryStatus(&server, &rows)) << server.Output();
  if (c.nSize != 0) {
    // Datagrams with a payload are not the filter's business.
    EXPECT_TRUE(rows.empty()) << server.Output();
    return;
  }
  // Exactly the three spoofed sources, in the order first seen, which is
  // the tool's order; datagram n came from source n % 3.
  ASSERT_EQ(3u, rows.size()) << server.Output();
  const char *const kSources[] = {"127.1.0.1", "127.1.0.2", "127.1.0.3"};
  long long nSum = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(kSources[i], rows[i].m_strAddress);
    EXPECT_EQ(static_cast<long long>((c.nCount + 2 - i) / 3),
              rows[i].m_nCount)
        << rows[i].m_strAddress;
    nSum += rows[i].m_nCount;
  }
  EXPECT_EQ(static_cast<long long>(c.nCount), nSum);
}

const FloodCase kFloodCases[] = {
    {"EmptyRaw", "raw", 0, 601, false},
    {"EmptyBound", "bound", 0, 601, false},
    {"JunkRaw", "raw", 32, 300, false},
    {"EmptyRawNetThread", "raw", 0, 601, true},
    {"JunkBoundNetThread", "bound", 32, 300, true},
};

INSTANTIATE_TEST_SUITE_P(
    Floods, FloodServerE2E, ::testing::ValuesIn(kFloodCases),
    [](const ::testing::TestParamInfo<FloodCase> &info) {
      return std::string(info.param.pszName);
    });

}  // namespace
}  // namespace qgtest
