// The soak: qgate-server --net-thread under a flood of empty datagrams from
// 200,000 spoofed sources, while its console is driven the whole time
// (status reports, the switch toggled, the plugin unloaded and loaded
// again), and at the end the engine's counters, the plugin's report and the
// flood tool must agree exactly, the server's memory must have stayed under
// its bound, and no sanitizer may have said a word.
//
// How it is exact while datagrams keep arriving.  The engine counts each
// read; the filter turns every empty datagram into a 25-byte read, and the
// only other datagrams are this test's own 17-byte pings, so at any moment
//     filtered = (bytes - 17 * pings answered) / 25
// is the number of empty datagrams the engine received with the filter on.
// That figure stands still whenever the filter is out (switched off, or the
// plugin unloaded), however fast the flood runs, and so does the table.  So:
//  - each plugin load starts an epoch whose base is read while the plugin is
//    out: the table, empty at load, must then always hold exactly
//    filtered - base;
//  - every cycle switches the filter off and checks that equality at once,
//    mid-flood (the exact check); half the unloads happen right after it, so
//    those epochs are checked to their very end;
//  - with the filter on, a report read between two net_stats lies between
//    their two figures (the live check);
//  - once the flood is over and drained, every datagram the tool sent is
//    either read by the engine or counted by the kernel as dropped from the
//    full receive queue (/proc/net/udp), and a last phase after a fresh load
//    sends a known count from all 200,000 sources and compares the report
//    row by row with the tool's schedule.
//
// SOAK_SECONDS (default 15) sets the length; `make soak` runs it for 120 s
// and sets SOAK_REPORT to docs/soak.md, which it then writes.  Spoofed
// sources need a raw socket: without CAP_NET_RAW the test is skipped.
#include <limits.h>
#include <signal.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "gtest/gtest.h"
#include "tests/server_e2e_support.h"
#include "tests/soak_child.h"
#include "tests/soak_probes.h"
#include "tests/soak_report.h"
#include "tools/source_addresses.h"

namespace qgsoak {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Which sanitizer this build carries (GCC says so with a macro, clang
// through __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QG_SOAK_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define QG_SOAK_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QG_SOAK_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define QG_SOAK_TSAN 1
#endif
#if defined(QG_SOAK_ASAN) || defined(QG_SOAK_TSAN)
#define QG_SOAK_SANITIZED 1
#endif

#if defined(QG_SOAK_TSAN)
constexpr const char *kBuildName = "ThreadSanitizer";
#elif defined(QG_SOAK_ASAN)
constexpr const char *kBuildName = "AddressSanitizer";
#else
constexpr const char *kBuildName = "optimised (RelWithDebInfo)";
#endif

constexpr uint32_t kSenders = 200000;
constexpr int kTrackedAddresses = 65536;
constexpr uint64_t kReportBytes = 25;  // what the filter reports per datagram
constexpr size_t kPingBytes = 17;      // FF FF FF FF 'i' + 12 bytes
// The last phase's count: whole rounds over every sender, plus a part round
// so that the rows' counts differ and the others row is not a multiple.
constexpr uint64_t kPartRound = 12345;
// A long epoch of the main phase ends once this many datagrams have gone
// into the others row, past the table's 65,536 addresses.
constexpr int64_t kLongEpochOthers = 20000;

#ifdef QG_SOAK_SANITIZED
// The sanitizers slow the server several times over.
constexpr double kRate = 20000;
#else
constexpr double kRate = 50000;
#endif

// The memory bound: how far the server's peak resident set (VmHWM) may rise
// above what it holds once started with the plugin loaded, in KiB.
//
// A full table costs about 6.3 MiB in the optimised x86-64 build: 65,536
// addresses x (a 20-byte record and a 24-byte ring node, 32 bytes each from
// malloc, and 24 bytes of index kept at most half full), plus a 128 KiB
// presence bitmap; a report copies the rows once more (1.3 MiB) while it
// prints.  Unload frees the table before the next load fills its own, so
// one is held at a time.  16 MiB is two and a half times that.  A table
// without its bound would hold all 200,000 senders, some 18 MiB for the
// table alone, and a table leaked at every unload would add 4 MiB a time
// over the soak's dozens of reloads: either breaks the bound.
//
// The sanitizers' runtimes cost more: TSan maps shadow and metadata of
// several times each heap byte, ASan pads every block with redzones and
// shadows the heap, and both get 8 x 16 MiB.  ASan also keeps freed blocks
// in a quarantine before it reuses them, 256 MiB by default, which every
// report's copy of the rows (1.3 MiB) passes through: the soak caps it for
// its children at kAsanQuarantineMiB (still far more than one round of
// the soak frees) and adds that and its shadow.  There the sanitizers' own
// checks (ASan's leak check at exit) catch what the looser bound cannot.
constexpr int kAsanQuarantineMiB = 32;
#if defined(QG_SOAK_ASAN)
constexpr uint64_t kMemoryGrowthBoundKiB =
    (128 + (kAsanQuarantineMiB * 9 + 7) / 8) * 1024;
#elif defined(QG_SOAK_TSAN)
constexpr uint64_t kMemoryGrowthBoundKiB = 128 * 1024;
#else
constexpr uint64_t kMemoryGrowthBoundKiB = 16 * 1024;
#endif

// Every console command gets this long (a full report is 65,537 lines).
constexpr milliseconds kConsoleTimeout(120000);

std::string BinDir() {
  const char *pszDir = getenv("QG_BIN_DIR");
  char szReal[PATH_MAX];
  if (realpath(pszDir != nullptr ? pszDir : ".", szReal) == nullptr)
    return pszDir != nullptr ? pszDir : ".";
  return szReal;
}

double SoakSeconds() {
  const char *pszText = getenv("SOAK_SECONDS");
  double flSeconds = pszText != nullptr ? atof(pszText) : 15.0;
  return std::min(3600.0, std::max(10.0, flSeconds));
}

bool CanSendRaw() {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (fd < 0) return false;
  close(fd);
  return true;
}

class Soak : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      std::string &strErr = m_Server.Child().Err();
      fprintf(stderr, "qgate-server stderr (last 4 KiB):\n%s\n",
              strErr.substr(strErr.size() > 4096 ? strErr.size() - 4096 : 0)
                  .c_str());
    }
  }

  // Runs a console line; fails the test when no answer comes.
  void Console(const std::string &strLine, std::string *pOut) {
    ASSERT_TRUE(m_Server.Run(strLine, kConsoleTimeout, pOut))
        << "no answer to \"" << strLine << "\"; the server: "
        << DescribeStatus(m_Server.Child().Exited() ? m_Server.Child().Status()
                                                    : -1);
    SampleMemory();
  }

  void ExpectConsole(const std::string &strLine, const std::string &strWant) {
    std::string strOut;
    ASSERT_NO_FATAL_FAILURE(Console(strLine, &strOut));
    ASSERT_EQ(strWant, strOut) << "after \"" << strLine << "\"";
  }

  void SampleMemory() {
    MemorySample sample;
    if (!ReadMemory(m_Server.Child().Pid(), &sample)) return;
    ++m_Figures.m_nMemorySamples;
    m_Figures.m_nPeakRssSampledKiB =
        std::max(m_Figures.m_nPeakRssSampledKiB, sample.m_nRssKiB);
    m_Figures.m_nHwmKiB = std::max(m_Figures.m_nHwmKiB, sample.m_nHwmKiB);
  }

  // Empty datagrams the engine received with the filter on, from the
  // byte count (see the file comment).
  static int64_t Filtered(const NetCounters &c) {
    uint64_t nPingBytes = kPingBytes * c.m_nPingsAnswered;
    EXPECT_GE(c.m_nBytes, nPingBytes);
    EXPECT_EQ(0u, (c.m_nBytes - nPingBytes) % kReportBytes)
        << "a read that was neither a ping nor a 25-byte report: bytes "
        << c.m_nBytes << ", pings " << c.m_nPingsAnswered;
    return static_cast<int64_t>((c.m_nBytes - nPingBytes) / kReportBytes);
  }

  // Runs "net_stats;qgat_status;net_stats": the report with the counters
  // just before and just after it.  Without a plugin, *pReport is left
  // alone and *pbLoaded false.
  void Bracket(NetCounters *pBefore, StatusReport *pReport,
               NetCounters *pAfter, bool *pbLoaded) {
    std::string strOut;
    ASSERT_NO_FATAL_FAILURE(
        Console("net_stats;qgat_status;net_stats", &strOut));
    size_t i = 0;
    ASSERT_TRUE(ParseNetStats(strOut, &i, pBefore)) << strOut.substr(0, 200);
    const std::string kUnknown = "Unknown command \"qgat_status\"\n";
    if (strOut.compare(i, kUnknown.size(), kUnknown) == 0) {
      *pbLoaded = false;
      i += kUnknown.size();
    } else {
      *pbLoaded = true;
      std::string strError;
      ASSERT_TRUE(ParseStatusReport(strOut, &i, pReport, &strError))
          << strError;
      ++m_Figures.m_nStatusReads;
      ASSERT_LE(pReport->m_Rows.size(), static_cast<size_t>(kTrackedAddresses));
      // The others row appears only once the table is full.
      if (pReport->m_bHasOthers) {
        ASSERT_EQ(static_cast<size_t>(kTrackedAddresses),
                  pReport->m_Rows.size());
      }
    }
    ASSERT_TRUE(ParseNetStats(strOut, &i, pAfter)) << strOut.substr(i, 200);
    ASSERT_EQ(strOut.size(), i) << "more output: " << strOut.substr(i, 200);
    m_nFloodRead = pAfter->m_nDatagrams - pAfter->m_nPingsAnswered;
  }

  // Rows come from the flood's senders only, each address once.
  void ExpectFloodRows(const StatusReport &report) {
    std::unordered_set<std::string> seen;
    seen.reserve(report.m_Rows.size() * 2);
    for (const StatusRow &row : report.m_Rows) {
      ASSERT_EQ(0u, row.m_strAddress.rfind("127.", 0)) << row.m_strAddress;
      ASSERT_NE("127.0.0.1", row.m_strAddress);
      ASSERT_TRUE(seen.insert(row.m_strAddress).second)
          << row.m_strAddress << " twice";
      ASSERT_GT(row.m_nCount, 0) << row.m_strAddress;
    }
  }

  // With the filter on and the flood running: the report lies between the
  // counts read around it (one receive may be between its table entry and
  // the engine's count), and never shrinks within an epoch.
  void LiveCheck() {
    NetCounters before, after;
    StatusReport report;
    bool bLoaded = false;
    ASSERT_NO_FATAL_FAILURE(Bracket(&before, &report, &after, &bLoaded));
    ASSERT_TRUE(bLoaded);
    ASSERT_TRUE(report.m_bEnabled);
    ASSERT_NO_FATAL_FAILURE(ExpectFloodRows(report));
    int64_t nSum = report.Sum();
    EXPECT_LE(Filtered(before) - m_nEpochBase, nSum);
    EXPECT_LE(nSum, Filtered(after) - m_nEpochBase + 1);
    EXPECT_GE(nSum, m_nLastSum);
    m_nLastSum = nSum;
    ++m_Figures.m_nLiveChecks;
  }

  // With the filter off: the report holds exactly the datagrams the engine
  // received with it on since the epoch began.  A receive that was inside
  // the filter when it was switched off may still finish its count, so the
  // figures are read again until they stand still; a real loss never
  // settles.
  void ExactCheck() {
    for (int nTry = 0;; ++nTry) {
      NetCounters before, after;
      StatusReport report;
      bool bLoaded = false;
      ASSERT_NO_FATAL_FAILURE(Bracket(&before, &report, &after, &bLoaded));
      ASSERT_TRUE(bLoaded);
      ASSERT_FALSE(report.m_bEnabled);
      ASSERT_NO_FATAL_FAILURE(ExpectFloodRows(report));
      bool bStill = before.m_nBytes == after.m_nBytes &&
                    before.m_nPingsAnswered == after.m_nPingsAnswered;
      int64_t nWant = Filtered(after) - m_nEpochBase;
      if (bStill && report.Sum() == nWant) {
        m_nLastSum = report.Sum();
        m_nLastOthers = report.m_nOthers;
        ++m_Figures.m_nExactChecks;
        if (report.m_bHasOthers) ++m_Figures.m_nExactChecksWithOthers;
        return;
      }
      ASSERT_LT(nTry, 20) << "the report holds " << report.Sum()
                          << " datagrams, the engine received " << nWant
                          << " with the filter on in this epoch (bytes "
                          << before.m_nBytes << " then " << after.m_nBytes
                          << ")";
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  // The id `meta list` shows for the one loaded plugin.
  void ListedId(int *pId) {
    std::string strOut;
    ASSERT_NO_FATAL_FAILURE(Console("meta list", &strOut));
    int nId = 0;
    char szTail[128] = "";
    ASSERT_EQ(2, sscanf(strOut.c_str(), "[%d] Quellgate (1.0.0.0) by %127[^\n]",
                        &nId, szTail))
        << strOut;
    ASSERT_EQ(1, std::count(strOut.begin(), strOut.end(), '\n')) << strOut;
    *pId = nId;
  }

  // Unloads the plugin and loads it again.  With the filter off, the
  // epoch's last exact check was its end, and the engine's count must not
  // have moved since; with it on, the unload happens mid-flood inside the
  // filter's busiest moment.
  void Reload(bool bFilterOn) {
    std::string strWant = (bFilterOn ? "[-] Quellgate - Disable\n" : "") +
                          std::string("Unloaded plugin [") +
                          std::to_string(m_nPluginId) + "] Quellgate\n";
    ASSERT_NO_FATAL_FAILURE(
        ExpectConsole("meta unload " + std::to_string(m_nPluginId), strWant));
    NetCounters before, after;
    StatusReport unused;
    bool bLoaded = true;
    ASSERT_NO_FATAL_FAILURE(Bracket(&before, &unused, &after, &bLoaded));
    ASSERT_FALSE(bLoaded);
    // No plugin, no filter: the engine's filtered count stands still.
    ASSERT_EQ(before.m_nBytes, after.m_nBytes);
    int64_t nBase = Filtered(after);
    if (!bFilterOn) {
      ASSERT_EQ(m_nEpochBase + m_nLastSum, nBase)
          << "datagrams counted by the engine as filtered after the epoch's "
             "last check";
      ++m_Figures.m_nEpochEndChecks;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectConsole("meta list", "No plugins loaded\n"));
    std::string strOut;
    // By its full path: a bare name is resolved by dlopen against the
    // caller's run path, and under the sanitizers the caller is their
    // runtime's dlopen, not the server.
    ASSERT_NO_FATAL_FAILURE(
        Console("meta load " + BinDir() + "/quellgate_mm.so", &strOut));
    int nLoaded = 0;
    ASSERT_EQ(1, sscanf(strOut.c_str(),
                        "[-] Quellgate - Enable\nLoaded plugin [%d]", &nLoaded))
        << strOut;
    ASSERT_EQ("[-] Quellgate - Enable\nLoaded plugin [" +
                  std::to_string(nLoaded) + "] Quellgate\n",
              strOut);
    int nListed = 0;
    ASSERT_NO_FATAL_FAILURE(ListedId(&nListed));
    ASSERT_EQ(nLoaded, nListed);
    ASSERT_GT(nListed, m_nPluginId) << "ids are never reused";
    m_nPluginId = nListed;
    m_nEpochBase = nBase;
    m_nLastSum = 0;
    m_nLastOthers = 0;
    m_nEpochRounds = 0;
    ++m_Figures.m_nReloads;
    if (bFilterOn) ++m_Figures.m_nReloadsFilterOn;
  }

  // One round of console work during the flood: a live report, the filter
  // off and the exact check, then either the filter on again or the end of
  // the epoch.  Epochs come in four kinds, in turn: short (two rounds) or
  // long (until the table is full and the others row has grown), each
  // ended by an unload with the filter off or with it on.
  void Cycle() {
    ASSERT_NO_FATAL_FAILURE(LiveCheck());
    ASSERT_NO_FATAL_FAILURE(
        ExpectConsole("qgat_enable 0", "[-] Quellgate - Disable\n"));
    ++m_Figures.m_nToggles;
    ASSERT_NO_FATAL_FAILURE(ExactCheck());
    ++m_nEpochRounds;
    const bool bLong = (m_Figures.m_nReloads / 2) % 2 == 1;
    const bool bUnloadFilterOn = m_Figures.m_nReloads % 2 == 1;
    const bool bEnd =
        bLong ? m_nLastOthers >= kLongEpochOthers : m_nEpochRounds >= 2;
    if (bEnd && !bUnloadFilterOn) {
      ASSERT_NO_FATAL_FAILURE(Reload(false));
      return;
    }
    ASSERT_NO_FATAL_FAILURE(
        ExpectConsole("qgat_enable 1", "[-] Quellgate - Enable\n"));
    ++m_Figures.m_nToggles;
    if (bEnd) {
      // Let the filter take the flood for a moment, then unload under it.
      std::this_thread::sleep_for(milliseconds(100));
      ASSERT_NO_FATAL_FAILURE(Reload(true));
    }
  }

  // Once the flood has ended: waits until the server has read everything
  // (a ping sent after the flood is answered only then), and answers its
  // counters, read until they stand still.
  void Drain(NetCounters *pCounters) {
    bool bAnswered = false;
    for (int nTry = 0; nTry < 5 && !bAnswered; ++nTry) {
      char szPayload[16];
      snprintf(szPayload, sizeof szPayload, "s%011d", ++m_nPingsSent);
      std::string strPing = qgtest::PingDatagram(szPayload);
      ASSERT_EQ(kPingBytes, strPing.size());
      ASSERT_TRUE(m_Pinger.SendTo(m_Server.Port(), strPing));
      auto deadline = Clock::now() + std::chrono::seconds(10);
      std::string strReply;
      while (!bAnswered && Clock::now() < deadline) {
        if (!m_Pinger.Receive(&strReply, milliseconds(200))) continue;
        bAnswered = strReply == qgtest::PongDatagram(szPayload);
      }
    }
    ASSERT_TRUE(bAnswered) << "the server answers no ping";
    NetCounters last;
    std::string strOut;
    for (int nTry = 0;; ++nTry) {
      ASSERT_NO_FATAL_FAILURE(Console("net_stats", &strOut));
      size_t i = 0;
      ASSERT_TRUE(ParseNetStats(strOut, &i, pCounters)) << strOut;
      UdpSocketState socketState;
      ASSERT_TRUE(ReadUdpSocket(m_Server.Port(), &socketState));
      if (nTry > 0 && socketState.m_nQueuedBytes == 0 &&
          pCounters->m_nDatagrams == last.m_nDatagrams &&
          pCounters->m_nBytes == last.m_nBytes &&
          pCounters->m_nPingsAnswered == last.m_nPingsAnswered)
        return;
      ASSERT_LT(nTry, 100) << "the counters do not settle";
      last = *pCounters;
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  // Every datagram sent is read by the engine or dropped by the kernel
  // from the full queue; every read is a ping, a filtered datagram or an
  // empty read (the filter out).
  void ExpectAccounted(const NetCounters &c, uint64_t nFloodSent) {
    UdpSocketState socketState;
    ASSERT_TRUE(ReadUdpSocket(m_Server.Port(), &socketState));
    m_Figures.m_nKernelDrops = socketState.m_nDrops;
    uint64_t nPingsSent = static_cast<uint64_t>(m_nPingsSent);
    EXPECT_EQ(nFloodSent + nPingsSent, c.m_nDatagrams + socketState.m_nDrops);
    EXPECT_LE(c.m_nPingsAnswered, nPingsSent);
    EXPECT_EQ(c.m_nDatagrams, static_cast<uint64_t>(Filtered(c)) +
                                  c.m_nEmptyReads + c.m_nPingsAnswered);
    EXPECT_EQ(c.m_nDropped, static_cast<uint64_t>(Filtered(c)));
  }

  void StartFlood(ChildProcess *pFlood, const std::vector<std::string> &more) {
    std::vector<std::string> args = {
        "--target", "127.0.0.1:" + std::to_string(m_Server.Port()), "--mode",
        "raw", "--sources", std::to_string(kSenders), "--rate",
        std::to_string(static_cast<int>(kRate)), "--json"};
    args.insert(args.end(), more.begin(), more.end());
    std::string strError;
    ASSERT_TRUE(pFlood->Start(BinDir() + "/qgate-flood", args, false,
                              &strError))
        << strError;
  }

  void FinishFlood(ChildProcess *pFlood, FloodSummary *pSummary) {
    ASSERT_TRUE(pFlood->Wait(std::chrono::seconds(600), true))
        << "qgate-flood outlived its bound";
    EXPECT_EQ("", SanitizerReports(pFlood->Err())) << pFlood->Err();
    ASSERT_EQ("exit 0", DescribeStatus(pFlood->Status())) << pFlood->Err();
    ASSERT_TRUE(ParseFloodSummary(pFlood->Out(), pSummary)) << pFlood->Out();
    ASSERT_EQ("raw", pSummary->m_strMode);
  }

  // The last phase: a fresh load, the filter on, a known count from every
  // sender, drained; then the report row by row.
  void FinalPhase(uint64_t nCount) {
    ASSERT_NO_FATAL_FAILURE(Reload(true));
    NetCounters c0;
    ASSERT_NO_FATAL_FAILURE(Drain(&c0));
    ASSERT_NO_FATAL_FAILURE(ExpectConsole(
        "qgat_status", "[-] Quellgate - Enable\n Attacker IP\t|\tPacket\n" +
                           std::string(32, '-') + "\n" +
                           std::string(32, '-') + "\n"));
    ++m_Figures.m_nStatusReads;
    UdpSocketState socket0;
    ASSERT_TRUE(ReadUdpSocket(m_Server.Port(), &socket0));

    ChildProcess flood;
    ASSERT_NO_FATAL_FAILURE(StartFlood(
        &flood, {"--count", std::to_string(nCount), "--max-seconds",
                 std::to_string(static_cast<int>(nCount / kRate * 4 + 60))}));
    while (!flood.Exited()) {
      flood.Pump(milliseconds(200));
      SampleMemory();
    }
    FloodSummary summary;
    ASSERT_NO_FATAL_FAILURE(FinishFlood(&flood, &summary));
    ASSERT_EQ("count", summary.m_strStoppedBy);
    ASSERT_EQ(nCount, summary.m_nSent);
    ASSERT_EQ(kSenders, summary.m_nSources);
    m_Figures.m_nFinalSent = summary.m_nSent;
    m_Figures.m_flFinalSeconds = summary.m_flSeconds;

    NetCounters c1;
    ASSERT_NO_FATAL_FAILURE(Drain(&c1));
    UdpSocketState socket1;
    ASSERT_TRUE(ReadUdpSocket(m_Server.Port(), &socket1));
    uint64_t nDrops = socket1.m_nDrops - socket0.m_nDrops;
    uint64_t nFiltered = static_cast<uint64_t>(Filtered(c1) - Filtered(c0));
    m_Figures.m_nFinalDrops = nDrops;
    m_Figures.m_nFinalFiltered = nFiltered;
    // The tool against the engine: every datagram read or dropped, and
    // every one read was filtered (none reached the engine empty).
    EXPECT_EQ(nCount, nFiltered + nDrops);
    EXPECT_EQ(c0.m_nEmptyReads, c1.m_nEmptyReads);
    EXPECT_EQ(nFiltered, c1.m_nDatagrams - c0.m_nDatagrams -
                             (c1.m_nPingsAnswered - c0.m_nPingsAnswered));

    std::string strOut;
    ASSERT_NO_FATAL_FAILURE(Console("qgat_status", &strOut));
    size_t i = 0;
    StatusReport report;
    std::string strError;
    ASSERT_TRUE(ParseStatusReport(strOut, &i, &report, &strError)) << strError;
    ASSERT_EQ(strOut.size(), i);
    ++m_Figures.m_nStatusReads;
    ASSERT_TRUE(report.m_bEnabled);
    // The report against the engine, exactly.
    m_Figures.m_nFinalReportSum = report.Sum();
    m_Figures.m_nFinalRows = report.m_Rows.size();
    m_Figures.m_nFinalOthers = report.m_nOthers;
    EXPECT_EQ(static_cast<int64_t>(nFiltered), report.Sum());
    ASSERT_EQ(static_cast<size_t>(kTrackedAddresses), report.m_Rows.size());
    ASSERT_TRUE(report.m_bHasOthers);
    if (nDrops != 0) {
      // The kernel dropped some: which senders lost what is not known, so
      // the rows cannot be set against the tool's schedule.
      printf("soak: the kernel dropped %llu datagrams of the last phase; "
             "rows not compared one by one\n",
             static_cast<unsigned long long>(nDrops));
      return;
    }
    // Datagram n came from sender n % kSenders, so the senders were first
    // seen in the tool's order and each sent nCount / kSenders datagrams,
    // one more for the first nCount % kSenders of them.
    int64_t nRowsSum = 0;
    for (int r = 0; r < kTrackedAddresses; ++r) {
      const StatusRow &row = report.m_Rows[static_cast<size_t>(r)];
      int64_t nWant = static_cast<int64_t>(
          nCount / kSenders + (static_cast<uint64_t>(r) < nCount % kSenders));
      ASSERT_EQ(DottedAddress(qgflood::SourceAddress(static_cast<uint32_t>(r))),
                row.m_strAddress)
          << "row " << r;
      ASSERT_EQ(nWant, row.m_nCount) << row.m_strAddress;
      nRowsSum += row.m_nCount;
    }
    EXPECT_EQ(static_cast<int64_t>(nCount) - nRowsSum, report.m_nOthers);
    m_Figures.m_bFinalRowsChecked = true;
  }

  ConsoleServer m_Server;
  qgtest::LoopbackSocket m_Pinger;
  int m_nPingsSent = 0;
  int m_nPluginId = 0;
  int64_t m_nEpochBase = 0;  // Filtered() when the current plugin loaded
  int64_t m_nLastSum = 0;    // the epoch's last report total
  int64_t m_nLastOthers = 0;  // and its others row at the last exact check
  int m_nEpochRounds = 0;     // Cycle calls in this epoch
  uint64_t m_nFloodRead = 0;  // flood datagrams the engine has read so far
  SoakFigures m_Figures;
};

TEST_F(Soak, FloodConsoleAndReportAgree) {
  if (!CanSendRaw())
    GTEST_SKIP() << "the soak's 200,000 spoofed senders need a raw socket "
                    "(root or CAP_NET_RAW); bound sockets cannot send from "
                    "that many addresses fast enough";
  const double flSeconds = SoakSeconds();
  auto start = Clock::now();
  // The last phase: whole rounds over the senders (about a sixth of the
  // run, at least one), plus a part round.
  uint64_t nRounds = static_cast<uint64_t>(flSeconds * kRate / 6 / kSenders);
  const uint64_t nFinalCount =
      std::max<uint64_t>(1, nRounds) * kSenders + kPartRound;
  // The main phase: the rest, and long enough for every sender to send.
  const double flMainSeconds = std::max(
      1.2 * kSenders / kRate, flSeconds - nFinalCount / kRate - 3.0);

#if defined(QG_SOAK_ASAN)
  {
    // The children's quarantine, for the memory bound (see above); the
    // options are read when they start.
    const char *pszOptions = getenv("ASAN_OPTIONS");
    std::string strOptions = pszOptions != nullptr ? pszOptions : "";
    if (!strOptions.empty()) strOptions += ":";
    strOptions +=
        "quarantine_size_mb=" + std::to_string(kAsanQuarantineMiB);
    setenv("ASAN_OPTIONS", strOptions.c_str(), 1);
  }
#endif
  std::string strError;
  ASSERT_TRUE(m_Server.Start(BinDir() + "/qgate-server",
                             {"--port", "0", "--net-thread"}, &strError))
      << strError;
  ASSERT_TRUE(ReadMemory(m_Server.Child().Pid(), &m_Figures.m_StartMemory));
  ASSERT_NO_FATAL_FAILURE(ListedId(&m_nPluginId));
  NetCounters c0;
  ASSERT_NO_FATAL_FAILURE(Drain(&c0));
  m_nEpochBase = Filtered(c0);
  ASSERT_EQ(0, m_nEpochBase);

  // The main phase: the flood, the console busy meanwhile.  It lasts
  // flMainSeconds, and longer (up to three times) until every sender has
  // sent, both kinds of unload have happened and a full table has been
  // checked exactly; then the tool is stopped with SIGINT, which it takes
  // as the end of its run.
  ChildProcess flood;
  ASSERT_NO_FATAL_FAILURE(StartFlood(
      &flood, {"--seconds", std::to_string(3 * flMainSeconds + 30)}));
  auto mainStart = Clock::now();
  // The flood must be hitting the server before the first cycle.
  for (int nTry = 0;; ++nTry) {
    std::string strOut;
    NetCounters c;
    ASSERT_NO_FATAL_FAILURE(Console("net_stats", &strOut));
    size_t i = 0;
    ASSERT_TRUE(ParseNetStats(strOut, &i, &c));
    if (c.m_nDatagrams > c0.m_nDatagrams + 1000) break;
    ASSERT_LT(nTry, 200) << "the flood does not arrive";
    std::this_thread::sleep_for(milliseconds(50));
  }
  bool bStopped = false;
  while (!flood.Exited()) {
    ASSERT_NO_FATAL_FAILURE(Cycle());
    flood.Pump(milliseconds(0));
    double flElapsed =
        std::chrono::duration<double>(Clock::now() - mainStart).count();
    bool bDone = m_nFloodRead >= kSenders && m_Figures.m_nReloads >= 2 &&
                 m_Figures.m_nExactChecksWithOthers >= 1;
    if (!bStopped && flElapsed >= flMainSeconds &&
        (bDone || flElapsed >= 3 * flMainSeconds)) {
      flood.Signal(SIGINT);
      bStopped = true;
    }
    std::this_thread::sleep_for(milliseconds(100));
  }
  FloodSummary mainSummary;
  ASSERT_NO_FATAL_FAILURE(FinishFlood(&flood, &mainSummary));
  m_Figures.m_nMainSent = mainSummary.m_nSent;
  m_Figures.m_flMainSeconds = mainSummary.m_flSeconds;
  ASSERT_EQ(kSenders, mainSummary.m_nSources) << "not every sender sent";
  ASSERT_GE(m_Figures.m_nReloads, 2) << "not both kinds of unload happened";
  ASSERT_GE(m_Figures.m_nExactChecksWithOthers, 1)
      << "no table filled up with the filter on";

  // Drained: everything is accounted for, and the epoch's report is exact.
  NetCounters c1;
  ASSERT_NO_FATAL_FAILURE(Drain(&c1));
  ASSERT_NO_FATAL_FAILURE(ExpectAccounted(c1, m_Figures.m_nMainSent));
  {
    NetCounters before, after;
    StatusReport report;
    bool bLoaded = false;
    ASSERT_NO_FATAL_FAILURE(Bracket(&before, &report, &after, &bLoaded));
    ASSERT_TRUE(bLoaded);
    EXPECT_EQ(Filtered(after) - m_nEpochBase, report.Sum());
    ++m_Figures.m_nExactChecks;
  }

  ASSERT_NO_FATAL_FAILURE(FinalPhase(nFinalCount));
  ASSERT_NO_FATAL_FAILURE(Drain(&m_Figures.m_End));
  ASSERT_NO_FATAL_FAILURE(ExpectAccounted(
      m_Figures.m_End, m_Figures.m_nMainSent + m_Figures.m_nFinalSent));
  m_Figures.m_nLastPluginId = m_nPluginId;

  // Memory: the kernel's own peak of the resident set, over the whole run.
  SampleMemory();
  const uint64_t nBoundKiB =
      m_Figures.m_StartMemory.m_nRssKiB + kMemoryGrowthBoundKiB;
  EXPECT_LE(m_Figures.m_nHwmKiB, nBoundKiB)
      << "peak resident memory " << Mib(m_Figures.m_nHwmKiB) << ", "
      << Mib(m_Figures.m_StartMemory.m_nRssKiB) << " at start, bound "
      << Mib(nBoundKiB);

  // A clean exit: quit unloads the plugin; the sanitizers (a leak check
  // under ASan) have their last word now.
  m_Server.Child().Write("quit\n");
  m_Server.Child().CloseInput();
  ASSERT_TRUE(m_Server.Child().Wait(std::chrono::seconds(120), true))
      << "qgate-server does not exit after quit";
  EXPECT_EQ("", SanitizerReports(m_Server.Child().Err()))
      << m_Server.Child().Err();
  EXPECT_EQ("exit 0", DescribeStatus(m_Server.Child().Status()))
      << m_Server.Child().Err();
  m_Figures.m_flSeconds =
      std::chrono::duration<double>(Clock::now() - start).count();

  m_Figures.m_strBuild = kBuildName;
  m_Figures.m_nSenders = kSenders;
  m_Figures.m_flRate = kRate;
  m_Figures.m_nFiltered = static_cast<uint64_t>(Filtered(m_Figures.m_End));
  m_Figures.m_nGrowthBoundKiB = kMemoryGrowthBoundKiB;
  printf("%s\n", SoakSummaryLine(m_Figures).c_str());
  const char *pszReport = getenv("SOAK_REPORT");
  if (pszReport != nullptr && pszReport[0] != '\0' && !HasFailure()) {
    std::ofstream file(pszReport);
    file << SoakReportPage(m_Figures);
    EXPECT_TRUE(file.good()) << "cannot write " << pszReport;
  }
}

}  // namespace
}  // namespace qgsoak
