// The plugin as an operator meets it: qgate-server's console and real UDP on
// 127.0.0.1.  The status report byte for byte after empty datagrams from
// spoofed loopback addresses, the switch variable's console output, and the
// host's `meta` command taking the plugin out and putting it back; each in
// the server's two receive modes (the main thread's ticks, and a network
// thread), and load/unload cycles under a flood on the network thread.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/server_e2e_support.h"

namespace qgtest {
namespace {

using std::chrono::milliseconds;

const std::string kEnable = "[-] Quellgate - Enable\n";
const std::string kDisable = "[-] Quellgate - Disable\n";
const std::string kHeader =
    " Attacker IP\t|\tPacket\n--------------------------------\n";
const std::string kFooter = "--------------------------------\n";

std::string PluginPath() { return BinDir() + "/quellgate_mm.so"; }

std::string ListLine(int nId) {
  return "[" + std::to_string(nId) +
         "] Quellgate (1.0.0.0) by Quellgate developers\n";
}

// Sends `nCount` empty datagrams from `pSocket`.
void SendEmpty(LoopbackSocket *pSocket, int nPort, int nCount) {
  for (int i = 0; i < nCount; ++i) {
    ASSERT_TRUE(pSocket->SendTo(nPort, "")) << "datagram " << i;
  }
}

// The rows of a status report, or false when it is not one.
struct StatusRow {
  std::string strAddress;
  long long nPackets;
};

bool ParseStatus(const std::string &strText, std::vector<StatusRow> *pRows) {
  size_t nAt = 0;
  if (strText.compare(0, kEnable.size(), kEnable) == 0) {
    nAt = kEnable.size();
  } else if (strText.compare(0, kDisable.size(), kDisable) == 0) {
    nAt = kDisable.size();
  } else {
    return false;
  }
  if (strText.compare(nAt, kHeader.size(), kHeader) != 0) return false;
  nAt += kHeader.size();
  pRows->clear();
  for (;;) {
    if (strText.compare(nAt, std::string::npos, kFooter) == 0) return true;
    size_t nEnd = strText.find('\n', nAt);
    if (nEnd == std::string::npos) return false;
    std::string strRow = strText.substr(nAt, nEnd - nAt);
    size_t nBar = strRow.find("\t|\t");
    if (strRow.empty() || strRow[0] != ' ' || nBar == std::string::npos) {
      return false;
    }
    pRows->push_back({strRow.substr(1, nBar - 1),
                      atoll(strRow.c_str() + nBar + 3)});
    nAt = nEnd + 1;
  }
}

// Every console line and its exact output, in order.
struct ConsoleStep {
  std::string strLine;
  std::string strOutput;
};

void RunSteps(ServerProcess *pServer, const std::vector<ConsoleStep> &steps) {
  for (const ConsoleStep &step : steps) {
    EXPECT_EQ(step.strOutput, pServer->RunConsole(step.strLine))
        << step.strLine;
  }
}

// ---- In both receive modes ----

struct ReceiveMode {
  const char *pszName;
  bool bNetThread;
};

void PrintTo(const ReceiveMode &mode, std::ostream *pStream) {
  *pStream << mode.pszName;
}

class ServerConsoleTest : public ::testing::TestWithParam<ReceiveMode> {
 protected:
  void StartServer() {
    std::vector<std::string> args = {"--port", "0", "--tickrate", "66"};
    if (GetParam().bNetThread) args.push_back("--net-thread");
    ASSERT_TRUE(m_Server.Start(args)) << m_Server.Output();
    ASSERT_EQ(kEnable + "listening on 127.0.0.1:" +
                  std::to_string(m_Server.Port()) + "\n",
              m_Server.Output());
  }
  int Port() const { return m_Server.Port(); }
  bool NetThread() const { return GetParam().bNetThread; }

  ServerProcess m_Server;
};

TEST_P(ServerConsoleTest, StatusReportAfterEmptyDatagramsFromThreeAddresses) {
  StartServer();
  LoopbackSocket from7("127.0.0.7"), from8("127.0.0.8"), from9("127.0.0.9");
  ASSERT_TRUE(from7.Bound() && from8.Bound() && from9.Bound());
  ServerCounters before;
  ASSERT_TRUE(QueryCounters(&m_Server, &before)) << m_Server.Output();

  // First seen: .7, then .8, then .9; the rows keep that order whatever the
  // counts.
  LoopbackSocket *const kOrder[] = {&from7, &from8, &from7, &from9,
                                    &from7, &from9};
  for (LoopbackSocket *pFrom : kOrder) SendEmpty(pFrom, Port(), 1);
  ASSERT_TRUE(SyncWithPing(Port()));
  EXPECT_EQ(kEnable + kHeader +
                " 127.0.0.7\t|\t3\n"
                " 127.0.0.8\t|\t1\n"
                " 127.0.0.9\t|\t2\n" +
                kFooter,
            m_Server.RunConsole("qgat_status"));

  // The engine read each one as a 25-byte datagram, and dropped it.
  ServerCounters after;
  ASSERT_TRUE(QueryCounters(&m_Server, &after)) << m_Server.Output();
  EXPECT_EQ(0u, after.m_nEmptyReads - before.m_nEmptyReads);
  EXPECT_EQ(6u, after.m_nDropped - before.m_nDropped);
  EXPECT_EQ(7u, after.m_nDatagrams - before.m_nDatagrams);  // and the ping

  // Switched off, the filter counts nothing more; the rows stay, under the
  // disable line, and the engine sees the empty reads again.
  EXPECT_EQ(kDisable, m_Server.RunConsole("qgat_enable 0"));
  SendEmpty(&from8, Port(), 2);
  ASSERT_TRUE(SyncWithPing(Port()));
  EXPECT_EQ(kDisable + kHeader +
                " 127.0.0.7\t|\t3\n"
                " 127.0.0.8\t|\t1\n"
                " 127.0.0.9\t|\t2\n" +
                kFooter,
            m_Server.RunConsole("qgat_status"));
  ServerCounters off;
  ASSERT_TRUE(QueryCounters(&m_Server, &off)) << m_Server.Output();
  EXPECT_EQ(2u, off.m_nEmptyReads - after.m_nEmptyReads);

  // Back on, counting goes on where it stopped.
  EXPECT_EQ(kEnable, m_Server.RunConsole("qgat_enable 1"));
  SendEmpty(&from8, Port(), 1);
  ASSERT_TRUE(SyncWithPing(Port()));
  EXPECT_EQ(kEnable + kHeader +
                " 127.0.0.7\t|\t3\n"
                " 127.0.0.8\t|\t2\n"
                " 127.0.0.9\t|\t2\n" +
                kFooter,
            m_Server.RunConsole("qgat_status"));
}

// `meta unload` takes the plugin's console objects and its filter away;
// `meta load` brings both back, with an empty table.
TEST_P(ServerConsoleTest, MetaUnloadAndLoad) {
  StartServer();
  LoopbackSocket from7("127.0.0.7"), from8("127.0.0.8");
  ASSERT_TRUE(from7.Bound() && from8.Bound());
  SendEmpty(&from7, Port(), 2);
  ASSERT_TRUE(SyncWithPing(Port()));
  RunSteps(&m_Server,
           {
               {"meta list", ListLine(1)},
               {"qgat_status", kEnable + kHeader + " 127.0.0.7\t|\t2\n" + kFooter},
               {"meta unload 1", kDisable + "Unloaded plugin [1] Quellgate\n"},
               {"qgat_status", "Unknown command \"qgat_status\"\n"},
               {"qgat_enable 1", "Unknown command \"qgat_enable\"\n"},
               {"qgat_version", "Unknown command \"qgat_version\"\n"},
               {"find qgat", ""},
               {"meta list", "No plugins loaded\n"},
               {"meta unload 1", "No plugin is loaded as [1]\n"},
           });

  // Without the filter every empty datagram is an empty read again; on the
  // main thread each one ends a tick, so the ping behind them waits one
  // tick per datagram.
  constexpr int kEmpty = 40;
  ServerCounters before;
  ASSERT_TRUE(QueryCounters(&m_Server, &before)) << m_Server.Output();
  SendEmpty(&from8, Port(), kEmpty);
  ASSERT_TRUE(SyncWithPing(Port()));
  ServerCounters after;
  ASSERT_TRUE(QueryCounters(&m_Server, &after)) << m_Server.Output();
  EXPECT_EQ(static_cast<uint64_t>(kEmpty),
            after.m_nEmptyReads - before.m_nEmptyReads);
  EXPECT_EQ(0u, after.m_nDropped - before.m_nDropped);
  EXPECT_EQ(1u, after.m_nPingsAnswered - before.m_nPingsAnswered);
  if (!NetThread()) {
    EXPECT_GE(after.m_nTicks - before.m_nTicks, static_cast<uint64_t>(kEmpty));
  }

  RunSteps(&m_Server,
           {
               {"meta load " + PluginPath(),
                kEnable + "Loaded plugin [2] Quellgate\n"},
               // Nothing of the first load's table survived the unload.
               {"qgat_status", kEnable + kHeader + kFooter},
               {"qgat_enable", "\"qgat_enable\" = \"1\" ( def. \"1\" )\n"
                               "   1 = Enable Quellgate (default), 0 = "
                               "Disable Quellgate\n"},
               {"meta list", ListLine(2)},
               {"meta load " + PluginPath(),
                "Plugin " + PluginPath() + " is already loaded as [2]\n"},
               {"meta list", ListLine(2)},
           });

  // Filtered again: the whole queue drains, and every datagram is counted.
  ServerCounters reloaded;
  ASSERT_TRUE(QueryCounters(&m_Server, &reloaded)) << m_Server.Output();
  SendEmpty(&from8, Port(), kEmpty);
  ASSERT_TRUE(SyncWithPing(Port()));
  ServerCounters filtered;
  ASSERT_TRUE(QueryCounters(&m_Server, &filtered)) << m_Server.Output();
  EXPECT_EQ(0u, filtered.m_nEmptyReads - reloaded.m_nEmptyReads);
  EXPECT_EQ(static_cast<uint64_t>(kEmpty),
            filtered.m_nDropped - reloaded.m_nDropped);
  if (!NetThread()) {
    EXPECT_LT(filtered.m_nTicks - reloaded.m_nTicks,
              static_cast<uint64_t>(kEmpty / 2));
  }
  EXPECT_EQ(kEnable + kHeader + " 127.0.0.8\t|\t40\n" + kFooter,
            m_Server.RunConsole("qgat_status"));

  m_Server.SendLine("quit");
  EXPECT_EQ(0, m_Server.WaitForExit(milliseconds(10000))) << m_Server.Output();
}

INSTANTIATE_TEST_SUITE_P(
    BothReceiveModes, ServerConsoleTest,
    ::testing::Values(ReceiveMode{"MainThread", false},
                      ReceiveMode{"NetThread", true}),
    [](const ::testing::TestParamInfo<ReceiveMode> &info) {
      return std::string(info.param.pszName);
    });

// ---- The switch variable ----

// Each change of "qgat_enable" as the console shows it: a message only when
// the filter's state really changes.
TEST(ServerConsole, SwitchVariableEffects) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0"})) << server.Output();
  const std::string kEnableHelp =
      "   1 = Enable Quellgate (default), 0 = Disable Quellgate\n";
  RunSteps(&server,
           {
               {"qgat_enable 0", kDisable},
               {"qgat_enable 0", ""},  // the same text: nothing happens
               {"qgat_enable 2", ""},  // still off
               {"qgat_status", kDisable + kHeader + kFooter},
               {"qgat_enable 1", kEnable},
               {"qgat_enable 1.0", ""},  // another text, still 1: already on
               {"qgat_enable",
                "\"qgat_enable\" = \"1.0\" ( def. \"1\" )\n" + kEnableHelp},
               {"qgat_version",
                "\"qgat_version\" = \"1.0.0.0\" ( def. \"1.0.0.0\" )\n"
                "Quellgate Version\n"},
               {"qgat_enable on", kDisable},  // a word reads as 0
               {"qgat_enable 1.5", kEnable},  // 1 once truncated
               {"qgat_enable -1", kDisable},
               {"qgat_enable 1; qgat_enable 0; qgat_enable 1",
                kEnable + kDisable + kEnable},
               {"QGAT_ENABLE 0", kDisable},  // names ignore letter case
               {"qgat_enable \"1\"", kEnable},
               {"qgat_status", kEnable + kHeader + kFooter},
               {"find qgat_",
                "\"qgat_enable\" = \"1\" ( def. \"1\" )\n" + kEnableHelp +
                    "\"qgat_status\"\n"
                    "\"qgat_version\" = \"1.0.0.0\" ( def. \"1.0.0.0\" )\n"
                    "Quellgate Version\n"},
           });
}

// ---- Cycles under a flood, on the network thread ----

// The host parks the network thread around every unload and load: the
// plugin's library is never closed while a receive is inside its filter,
// however hard the socket is flooded.  Under ThreadSanitizer this run is
// also the proof that nothing is shared without synchronisation.
TEST(ServerConsoleNetThread, UnloadAndLoadCyclesUnderAFlood) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--port", "0", "--net-thread"})) << server.Output();
  const int nPort = server.Port();

  // The flood: empty datagrams from three spoofed addresses, bounded in
  // count and in time, with a short pause every few datagrams so that the
  // console keeps a share of the two processors.
  constexpr uint64_t kMaxDatagrams = 2000000;
  const auto kFloodDeadline = std::chrono::steady_clock::now() +
                              std::chrono::seconds(120);
  std::atomic<bool> bStop{false};
  std::atomic<uint64_t> nSent{0};
  std::thread flood([&] {
    LoopbackSocket from10("127.0.0.10"), from11("127.0.0.11"),
        from12("127.0.0.12");
    LoopbackSocket *const kSources[] = {&from10, &from11, &from12};
    for (uint64_t i = 0; i < kMaxDatagrams && !bStop.load(); ++i) {
      if (std::chrono::steady_clock::now() > kFloodDeadline) break;
      if (kSources[i % 3]->SendTo(nPort, "")) nSent.fetch_add(1);
      if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  constexpr int kCycles = 15;
  int nId = 1;
  for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
    SCOPED_TRACE("cycle " + std::to_string(nCycle));
    std::vector<StatusRow> rows;
    std::string strStatus = server.RunConsole("qgat_status");
    EXPECT_TRUE(ParseStatus(strStatus, &rows)) << strStatus;
    EXPECT_EQ(kDisable + kEnable,
              server.RunConsole("qgat_enable 0; qgat_enable 1"));
    EXPECT_EQ(kDisable + "Unloaded plugin [" + std::to_string(nId) +
                  "] Quellgate\n",
              server.RunConsole("meta unload " + std::to_string(nId)));
    ++nId;
    EXPECT_EQ(kEnable + "Loaded plugin [" + std::to_string(nId) +
                  "] Quellgate\n",
              server.RunConsole("meta load " + PluginPath()));
  }
  bStop.store(true);
  flood.join();
  EXPECT_GT(nSent.load(), 0u);

  // Still whole: the queue drains, pings are answered, and the reloaded
  // filter counts exactly what it is sent from now on.
  ASSERT_TRUE(SyncWithPing(nPort)) << server.Output();
  ServerCounters before;
  ASSERT_TRUE(QueryCounters(&server, &before)) << server.Output();
  LoopbackSocket from13("127.0.0.13");
  ASSERT_TRUE(from13.Bound());
  SendEmpty(&from13, nPort, 30);
  ASSERT_TRUE(SyncWithPing(nPort));
  ServerCounters after;
  ASSERT_TRUE(QueryCounters(&server, &after)) << server.Output();
  EXPECT_EQ(0u, after.m_nEmptyReads - before.m_nEmptyReads);
  EXPECT_EQ(30u, after.m_nDropped - before.m_nDropped);
  std::vector<StatusRow> rows;
  std::string strStatus = server.RunConsole("qgat_status");
  ASSERT_TRUE(ParseStatus(strStatus, &rows)) << strStatus;
  ASSERT_FALSE(rows.empty()) << strStatus;
  EXPECT_EQ("127.0.0.13", rows.back().strAddress) << strStatus;
  EXPECT_EQ(30, rows.back().nPackets) << strStatus;
  EXPECT_EQ(ListLine(nId), server.RunConsole("meta list"));

  server.SendLine("quit");
  EXPECT_EQ(0, server.WaitForExit(milliseconds(30000))) << server.Output();
  EXPECT_EQ(std::string::npos, server.Output().find("ThreadSanitizer"))
      << server.Output();
}

}  // namespace
}  // namespace qgtest
