// qgate-server end to end: its console, its exits, and the lag that empty
// datagrams cause without the plugin and not with it, over real UDP on
// 127.0.0.1.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/server_e2e_support.h"

namespace qgtest {
namespace {

using std::chrono::milliseconds;

const std::string kEnableMessage = "[-] Quellgate - Enable\n";
const std::string kDisableMessage = "[-] Quellgate - Disable\n";

std::string Ping(const std::string &strPayload) {
  return std::string("\xFF\xFF\xFF\xFFi", 5) + strPayload;
}

std::string Pong(const std::string &strPayload) {
  return std::string("\xFF\xFF\xFF\xFFj", 5) + strPayload;
}

size_t CountOf(const std::string &strText, const std::string &strPiece) {
  size_t n = 0;
  for (size_t i = strText.find(strPiece); i != std::string::npos;
       i = strText.find(strPiece, i + strPiece.size())) {
    ++n;
  }
  return n;
}

TEST(ServerE2E, AnswersPingsAndDropsEverythingElse) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0", "--no-plugin"})) << server.Output();
  LoopbackSocket client;
  // Not pings: a connectionless datagram of another kind, a short one, and
  // one without the connectionless mark.
  ASSERT_TRUE(client.SendTo(server.Port(), std::string("\xFF\xFF\xFF\xFFx", 5)));
  ASSERT_TRUE(client.SendTo(server.Port(), std::string("\xFF\xFF\xFF\xFF", 4)));
  ASSERT_TRUE(client.SendTo(server.Port(), "hello"));
  ASSERT_TRUE(client.SendTo(server.Port(), Ping("payload-1")));
  std::string strReply;
  ASSERT_TRUE(client.Receive(&strReply, milliseconds(10000)));
  EXPECT_EQ(Pong("payload-1"), strReply);
  // A ping with no payload is still a ping.
  ASSERT_TRUE(client.SendTo(server.Port(), Ping("")));
  ASSERT_TRUE(client.Receive(&strReply, milliseconds(10000)));
  EXPECT_EQ(Pong(""), strReply);
  EXPECT_FALSE(client.Receive(&strReply, milliseconds(100)));

  ServerCounters counters;
  ASSERT_TRUE(QueryCounters(&server, &counters)) << server.Output();
  EXPECT_EQ(5u, counters.m_nDatagrams);
  EXPECT_EQ(5u + 4u + 5u + 14u + 5u, counters.m_nBytes);
  EXPECT_EQ(0u, counters.m_nEmptyReads);
  EXPECT_EQ(2u, counters.m_nPingsAnswered);
  EXPECT_EQ(3u, counters.m_nDropped);
}

struct ConsoleCase {
  const char *pszLine;
  const char *pszExpected;  // the beginning of an output line
};

TEST(ServerE2E, ConsoleCommands) {
  const ConsoleCase kCases[] = {
      {"echo hello world", "hello world"},
      {"frobnicate now", "Unknown command \"frobnicate\""},
      {"Echo is case-insensitive", "is case-insensitive"},
      {"echo first; echo \"second;  part\"", "second;  part"},
      {"find net_", "\"net_stats\""},
      {"cvarlist NET", "net_stats                : cmd        : "},
      // cvarlist echo find meta net_stats quit
      {"cvarlist", "6 total convars/concommands"},
      {"cvarlist", "--------------"},
  };
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0", "--no-plugin"})) << server.Output();
  for (const ConsoleCase &c : kCases) {
    server.SendLine(c.pszLine);
    // The expected text begins a whole line of output.
    EXPECT_NE("", server.WaitForLine(c.pszExpected, milliseconds(10000)))
        << c.pszLine << "\n" << server.Output();
  }
  ServerCounters counters;
  EXPECT_TRUE(QueryCounters(&server, &counters)) << server.Output();
  EXPECT_GT(counters.m_nTicks, 0u);
}

TEST(ServerE2E, RefusesBadOptions) {
  const std::vector<std::vector<std::string>> kCases = {
      {"--port", "70000"},   {"--port", "x"},        {"--bind", "localhost"},
      {"--tickrate", "0"},   {"--tickrate", "-5"},   {"--frobnicate"},
      {"--port"},
  };
  for (const auto &args : kCases) {
    ServerProcess server;
    EXPECT_FALSE(server.Start(args));
    EXPECT_EQ(2, WEXITSTATUS(server.WaitForExit(milliseconds(10000))))
        << args[0] << "\n" << server.Output();
  }
}

TEST(ServerE2E, HelpListsEveryOption) {
  ServerProcess server;
  EXPECT_FALSE(server.Start({"--help"}));
  EXPECT_EQ(0, server.WaitForExit(milliseconds(10000)));
  for (const char *pszOption : {"--port N", "--bind ADDR", "--plugin PATH",
                                "--no-plugin", "--tickrate HZ", "--net-thread",
                                "--help"}) {
    EXPECT_NE(std::string::npos, server.Output().find(std::string("\n  ") +
                                                      pszOption))
        << pszOption << "\n" << server.Output();
  }
}

TEST(ServerE2E, MissingPluginIsReportedAndTheServerRuns) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0", "--plugin",
                            BinDir() + "/no_such_plugin.so"}))
      << server.Output();
  EXPECT_NE(std::string::npos,
            server.Output().find("Failed to load plugin " + BinDir() +
                                 "/no_such_plugin.so"))
      << server.Output();
  server.SendLine("quit");
  EXPECT_EQ(0, server.WaitForExit(milliseconds(10000)));
}

// Every way the server stops: it unloads the plugin and exits 0.
struct StopCase {
  const char *pszName;
  void (*pfnStop)(ServerProcess *pServer);
};

TEST(ServerE2E, StopsCleanlyAndUnloadsThePlugin) {
  const StopCase kCases[] = {
      {"quit", [](ServerProcess *p) { p->SendLine("quit"); }},
      {"end of input", [](ServerProcess *p) { p->CloseInput(); }},
      {"SIGTERM", [](ServerProcess *p) { p->Signal(SIGTERM); }},
      {"SIGINT", [](ServerProcess *p) { p->Signal(SIGINT); }},
  };
  // In both receive modes: with a network thread, the signals still reach
  // the main thread, which stops the thread before it unloads.
  for (bool bNetThread : {false, true})
  for (const StopCase &c : kCases) {
    SCOPED_TRACE(std::string(c.pszName) + (bNetThread ? ", net thread" : ""));
    ServerProcess server;
    std::vector<std::string> args = {"--port", "0"};
    if (bNetThread) args.push_back("--net-thread");
    ASSERT_TRUE(server.Start(args)) << server.Output();
    EXPECT_EQ(1u, CountOf(server.Output(), kEnableMessage)) << server.Output();
    c.pfnStop(&server);
    int nStatus = server.WaitForExit(milliseconds(10000));
    ASSERT_TRUE(WIFEXITED(nStatus)) << nStatus << "\n" << server.Output();
    EXPECT_EQ(0, WEXITSTATUS(nStatus));
    EXPECT_EQ(1u, CountOf(server.Output(), kDisableMessage))
        << server.Output();
  }
}

// The lines after `quit` are never run; the ones before it are.
TEST(ServerE2E, QuitEndsTheConsoleAtOnce) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0", "--no-plugin"})) << server.Output();
  server.SendLine("echo before\nquit\necho after");
  EXPECT_EQ(0, server.WaitForExit(milliseconds(10000)));
  EXPECT_NE(std::string::npos, server.Output().find("before\n"));
  EXPECT_EQ(std::string::npos, server.Output().find("after\n"));
}

// A ping queued behind kEmpty empty datagrams.  Without the plugin each
// empty datagram ends a tick's receive loop, so the ping waits one tick per
// empty datagram; with the plugin the whole queue drains in one tick.
constexpr int kEmpty = 150;

struct FloodCase {
  const char *pszName;
  bool bPlugin;
  const char *pszConsole;  // run before the flood; null for nothing
  bool bFiltered;          // the empty datagrams do not hold the ping back
};

void PrintTo(const FloodCase &c, std::ostream *pStream) { *pStream << c.pszName; }

class ServerFloodTest : public ::testing::TestWithParam<FloodCase> {};

TEST_P(ServerFloodTest, PingBehindEmptyDatagrams) {
  const FloodCase &c = GetParam();
  std::vector<std::string> args = {"--port", "0", "--tickrate", "66"};
  if (!c.bPlugin) args.push_back("--no-plugin");
  ServerProcess server;
  ASSERT_TRUE(server.Start(args)) << server.Output();
  ASSERT_EQ(c.bPlugin ? 1u : 0u, CountOf(server.Output(), kEnableMessage))
      << server.Output();

  if (c.pszConsole != nullptr) server.SendLine(c.pszConsole);
  ServerCounters before;
  ASSERT_TRUE(QueryCounters(&server, &before)) << server.Output();
  LoopbackSocket flood;
  LoopbackSocket pinger;
  for (int i = 0; i < kEmpty; ++i) ASSERT_TRUE(flood.SendTo(server.Port(), ""));
  ASSERT_TRUE(pinger.SendTo(server.Port(), Ping("behind-the-flood")));
  std::string strReply;
  // Without the plugin the answer takes kEmpty ticks, about 2.3 seconds at
  // 66 ticks a second; the deadline only bounds a broken run.
  ASSERT_TRUE(pinger.Receive(&strReply, milliseconds(30000)));
  EXPECT_EQ(Pong("behind-the-flood"), strReply);
  ServerCounters after;
  ASSERT_TRUE(QueryCounters(&server, &after)) << server.Output();

  uint64_t nTicks = after.m_nTicks - before.m_nTicks;
  EXPECT_EQ(1u, after.m_nPingsAnswered - before.m_nPingsAnswered);
  EXPECT_EQ(static_cast<uint64_t>(kEmpty + 1),
            after.m_nDatagrams - before.m_nDatagrams);
  if (c.bFiltered) {
    // The engine never saw an empty read: each one came back as a 25-byte
    // datagram of zeros, which it dropped, and the loop ran on to the ping.
    EXPECT_EQ(0u, after.m_nEmptyReads - before.m_nEmptyReads);
    EXPECT_EQ(static_cast<uint64_t>(kEmpty),
              after.m_nDropped - before.m_nDropped);
    // A few ticks pass while the test talks to the console; far fewer than
    // one per empty datagram.
    EXPECT_LT(nTicks, static_cast<uint64_t>(kEmpty / 2));
  } else {
    EXPECT_EQ(static_cast<uint64_t>(kEmpty),
              after.m_nEmptyReads - before.m_nEmptyReads);
    EXPECT_EQ(0u, after.m_nDropped - before.m_nDropped);
    // One tick per empty datagram before the ping's tick.
    EXPECT_GE(nTicks, static_cast<uint64_t>(kEmpty));
  }
}

INSTANTIATE_TEST_SUITE_P(
    WithAndWithoutPlugin, ServerFloodTest,
    ::testing::Values(
        FloodCase{"WithPlugin", true, nullptr, true},
        FloodCase{"WithoutPlugin", false, nullptr, false},
        // The switch variable, set at the server console, takes the filter
        // out; set again, it puts it back.
        FloodCase{"WithPluginSwitchedOff", true, "qgat_enable 0", false},
        FloodCase{"WithPluginSwitchedOffAndOn", true,
                  "qgat_enable 0; qgat_enable 1", true}),
    [](const ::testing::TestParamInfo<FloodCase> &info) {
      return std::string(info.param.pszName);
    });

// An empty datagram right after a ping: the engine must not find the ping's
// bytes again in its buffer and answer it twice.
TEST(ServerE2E, EmptyDatagramAfterPingIsNotAnsweredAgain) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0"})) << server.Output();
  ServerCounters before;
  ASSERT_TRUE(QueryCounters(&server, &before)) << server.Output();
  LoopbackSocket client;
  ASSERT_TRUE(client.SendTo(server.Port(), Ping("once")));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(client.SendTo(server.Port(), ""));
  std::string strReply;
  ASSERT_TRUE(client.Receive(&strReply, milliseconds(10000)));
  EXPECT_EQ(Pong("once"), strReply);
  ServerCounters after;
  ASSERT_TRUE(QueryCounters(&server, &after)) << server.Output();
  EXPECT_EQ(1u, after.m_nPingsAnswered - before.m_nPingsAnswered);
  EXPECT_EQ(10u, after.m_nDropped - before.m_nDropped);
  EXPECT_FALSE(client.Receive(&strReply, milliseconds(100)));
}

}  // namespace
}  // namespace qgtest
