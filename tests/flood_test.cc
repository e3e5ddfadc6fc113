// qgate-flood: option parsing, the source-address plan, packet checksums,
// pacing arithmetic and the ping codec directly; then the binary itself
// against a UDP receiver on 127.0.0.1, in raw and in bound-socket mode.
// Every run is bounded by --count or --seconds and by a watchdog.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/flood_options.h"
#include "tools/ping_probe.h"
#include "tools/source_addresses.h"
#include "tools/token_bucket.h"
#include "tools/udp_packet.h"

extern char **environ;

namespace qgflood {
namespace {

// ---------------------------------------------------------------------------
// Options

struct TargetCase {
  const char *pszText;
  bool bAccepted;
  uint32_t nAddr;
  uint16_t nPort;
  const char *pszError;  // a fragment of the message when refused
};

const TargetCase kTargetCases[] = {
    {"127.0.0.1:27015", true, 0x7f000001, 27015, ""},
    {"127.255.255.254:1", true, 0x7ffffffe, 1, ""},
    {"127.3.4.5:65535", true, 0x7f030405, 65535, ""},
    {"localhost:9", true, 0x7f000001, 9, ""},
    {"10.0.0.1:27015", false, 0, 0, "outside loopback"},
    {"192.168.1.1:27015", false, 0, 0, "outside loopback"},
    {"8.8.8.8:53", false, 0, 0, "outside loopback"},
    {"128.0.0.1:5", false, 0, 0, "outside loopback"},
    {"126.255.255.255:5", false, 0, 0, "outside loopback"},
    {"0.0.0.0:5", false, 0, 0, "outside loopback"},
    {"::1", false, 0, 0, "expected ADDR:PORT"},
    {"[::1]:27015", false, 0, 0, "expected ADDR:PORT"},
    {"::1:27015", false, 0, 0, "expected ADDR:PORT"},
    {"garbage", false, 0, 0, "expected ADDR:PORT"},
    {"garbage:5", false, 0, 0, "not a dotted-quad"},
    {"127.1:5", false, 0, 0, "not a dotted-quad"},
    {"127.0.0.1", false, 0, 0, "expected ADDR:PORT"},
    {":27015", false, 0, 0, "expected ADDR:PORT"},
    {"127.0.0.1:", false, 0, 0, "port"},
    {"127.0.0.1:0", false, 0, 0, "port"},
    {"127.0.0.1:65536", false, 0, 0, "port"},
    {"127.0.0.1:-1", false, 0, 0, "port"},
    {"127.0.0.1:80x", false, 0, 0, "port"},
};

TEST(FloodOptions, TargetsInsideLoopbackOnly) {
  for (const TargetCase &c : kTargetCases) {
    SCOPED_TRACE(c.pszText);
    uint32_t nAddr = 0;
    uint16_t nPort = 0;
    std::string error;
    ASSERT_EQ(ParseLoopbackTarget(c.pszText, &nAddr, &nPort, &error),
              c.bAccepted);
    if (c.bAccepted) {
      EXPECT_EQ(nAddr, c.nAddr);
      EXPECT_EQ(nPort, c.nPort);
    } else {
      EXPECT_NE(error.find(c.pszError), std::string::npos) << error;
    }
  }
}

struct OptionCase {
  std::vector<const char *> args;  // after the program name
  ParseStatus eStatus;
  const char *pszError;  // fragment, for usage errors
};

const OptionCase kOptionCases[] = {
    {{"--target", "127.0.0.1:5"}, ParseStatus::kOk, ""},
    {{"--target=127.0.0.1:5", "--count=3", "--json"}, ParseStatus::kOk, ""},
    {{"--help"}, ParseStatus::kHelp, ""},
    {{"--target", "127.0.0.1:5", "-h"}, ParseStatus::kHelp, ""},
    {{}, ParseStatus::kUsageError, "--target ADDR:PORT is required"},
    {{"--count", "5"}, ParseStatus::kUsageError, "is required"},
    {{"--target"}, ParseStatus::kUsageError, "needs a value"},
    {{"--target", "127.0.0.1:5", "--bogus"}, ParseStatus::kUsageError,
     "unknown option"},
    {{"--target", "127.0.0.1:5", "--json=1"}, ParseStatus::kUsageError,
     "takes no value"},
    {{"--target", "127.0.0.1:5", "--size", "65508"}, ParseStatus::kUsageError,
     "--size"},
    {{"--target", "127.0.0.1:5", "--size", "-1"}, ParseStatus::kUsageError,
     "--size"},
    {{"--target", "127.0.0.1:5", "--sources", "0"}, ParseStatus::kUsageError,
     "--sources"},
    {{"--target", "127.0.0.1:5", "--sources", "16581121"},
     ParseStatus::kUsageError, "--sources"},
    {{"--target", "127.0.0.1:5", "--count", "0"}, ParseStatus::kUsageError,
     "--count"},
    {{"--target", "127.0.0.1:5", "--count", "1e6"}, ParseStatus::kUsageError,
     "--count"},
    {{"--target", "127.0.0.1:5", "--count", "18446744073709551616"},
     ParseStatus::kUsageError, "--count"},
    {{"--target", "127.0.0.1:5", "--seconds", "0"}, ParseStatus::kUsageError,
     "--seconds"},
    {{"--target", "127.0.0.1:5", "--seconds", "nan"}, ParseStatus::kUsageError,
     "--seconds"},
    {{"--target", "127.0.0.1:5", "--seconds", "86401"},
     ParseStatus::kUsageError, "--seconds"},
    {{"--target", "127.0.0.1:5", "--rate", "inf"}, ParseStatus::kUsageError,
     "--rate"},
    {{"--target", "127.0.0.1:5", "--rate", "-5"}, ParseStatus::kUsageError,
     "--rate"},
    {{"--target", "127.0.0.1:5", "--ping", "0"}, ParseStatus::kUsageError,
     "--ping"},
    {{"--target", "127.0.0.1:5", "--ping", "1001"}, ParseStatus::kUsageError,
     "--ping"},
    {{"--target", "127.0.0.1:5", "--mode", "fast"}, ParseStatus::kUsageError,
     "--mode"},
    {{"--target", "127.0.0.2:5", "--mode", "raw"}, ParseStatus::kUsageError,
     "only to 127.0.0.1"},
    {{"--target", "127.0.0.2:5", "--mode", "bound"}, ParseStatus::kOk, ""},
    {{"--target", "127.0.0.1:5", "--socket-pool", "0"},
     ParseStatus::kUsageError, "--socket-pool"},
};

ParseStatus Parse(const std::vector<const char *> &args,
                  FloodOptions *pOptions, std::string *pError) {
  std::vector<const char *> argv = {"qgate-flood"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseFloodOptions(static_cast<int>(argv.size()), argv.data(),
                           pOptions, pError);
}

TEST(FloodOptions, TableOfArguments) {
  for (const OptionCase &c : kOptionCases) {
    std::string trace;
    for (const char *pszArg : c.args) trace += std::string(pszArg) + " ";
    SCOPED_TRACE(trace);
    FloodOptions options;
    std::string error;
    ASSERT_EQ(Parse(c.args, &options, &error), c.eStatus) << error;
    if (c.eStatus == ParseStatus::kUsageError) {
      EXPECT_NE(error.find(c.pszError), std::string::npos) << error;
    }
  }
}

TEST(FloodOptions, ValuesAndBounds) {
  FloodOptions options;
  std::string error;
  // Neither --count nor --seconds: a default time bound.
  ASSERT_EQ(Parse({"--target", "127.0.0.1:27015"}, &options, &error),
            ParseStatus::kOk);
  EXPECT_EQ(options.m_nCount, 0u);
  EXPECT_EQ(options.m_flSeconds, kDefaultSeconds);
  EXPECT_EQ(options.TimeLimit(), kDefaultSeconds);

  // --count alone: the hard cap still bounds the time.
  ASSERT_EQ(Parse({"--target", "127.0.0.1:27015", "--count", "7",
                   "--max-seconds", "3"},
                  &options, &error),
            ParseStatus::kOk);
  EXPECT_EQ(options.m_nCount, 7u);
  EXPECT_EQ(options.m_flSeconds, 0.0);
  EXPECT_EQ(options.TimeLimit(), 3.0);

  ASSERT_EQ(Parse({"--target", "127.9.8.7:1", "--size", "65507", "--sources",
                   "200000", "--seconds", "1.5", "--rate", "1e3", "--ping",
                   "20", "--mode", "bound", "--quiet", "--socket-pool", "9"},
                  &options, &error),
            ParseStatus::kOk)
      << error;
  EXPECT_EQ(options.m_nTargetAddr, 0x7f090807u);
  EXPECT_EQ(options.m_nSize, 65507u);
  EXPECT_EQ(options.m_nSources, 200000u);
  EXPECT_EQ(options.m_flSeconds, 1.5);
  EXPECT_EQ(options.m_flRate, 1000.0);
  EXPECT_EQ(options.m_flPingHz, 20.0);
  EXPECT_EQ(options.m_eMode, SenderMode::kBound);
  EXPECT_EQ(options.m_nSocketPool, 9u);
  EXPECT_TRUE(options.m_bQuiet);
  EXPECT_FALSE(options.m_bJson);
}

// ---------------------------------------------------------------------------
// Source addresses

TEST(SourceAddresses, DistinctInsideLoopbackAwayFromPing) {
  // Strictly increasing proves distinct; check well past the 200,000 a soak
  // uses, and the very last index.
  uint32_t nPrevious = 0;
  auto Check = [&](uint32_t i) {
    uint32_t nAddr = SourceAddress(i);
    ASSERT_EQ(nAddr >> 24, 127u) << i;
    ASSERT_NE((nAddr >> 16) & 0xff, 0u) << i;  // never 127.0.x.x
    ASSERT_NE(nAddr & 0xff, 0u) << i;
    ASSERT_NE(nAddr & 0xff, 255u) << i;
    ASSERT_GT(nAddr, nPrevious) << i;
    nPrevious = nAddr;
  };
  for (uint32_t i = 0; i < 300000; ++i) Check(i);
  for (uint32_t i = kMaxSources - 1000; i < kMaxSources; ++i) Check(i);
  EXPECT_EQ(SourceAddress(0), 0x7f010001u);          // 127.1.0.1
  EXPECT_EQ(SourceAddress(254), 0x7f010101u);        // 127.1.1.1
  EXPECT_EQ(SourceAddress(kMaxSources - 1), 0x7ffffffeu);
}

// ---------------------------------------------------------------------------
// Packet headers

// An independent checksum: sum of 16-bit big-endian words, folded.
uint16_t ReferenceFold(const std::vector<uint8_t> &bytes) {
  uint64_t nSum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t nWord = bytes[i] << 8;
    if (i + 1 < bytes.size()) nWord |= bytes[i + 1];
    nSum += nWord;
  }
  while (nSum >> 16) nSum = (nSum & 0xffff) + (nSum >> 16);
  return static_cast<uint16_t>(nSum);
}

TEST(UdpPacket, HeadersAndChecksumsVerify) {
  for (size_t nSize : {0, 1, 2, 3, 37, 1400, 65507}) {
    SCOPED_TRACE(nSize);
    std::vector<uint8_t> packet(kHeadersSize + nSize);
    for (size_t i = 0; i < nSize; ++i)
      packet[kHeadersSize + i] = static_cast<uint8_t>(0xff - i * 7);
    UdpEndpoints endpoints = {0x7f0a0b0c, 40000, 0x7f000001, 27015};
    uint32_t nPayloadSum =
        ChecksumAdd(0, packet.data() + kHeadersSize, nSize);
    WriteUdpHeaders(packet.data(), endpoints, 0x1234, nSize, nPayloadSum);

    // IPv4 header fields, and its checksum: the header sums to all ones.
    EXPECT_EQ(packet[0], 0x45);
    EXPECT_EQ(packet[2] << 8 | packet[3], static_cast<int>(28 + nSize));
    EXPECT_EQ(packet[4] << 8 | packet[5], 0x1234);
    EXPECT_EQ(packet[9], IPPROTO_UDP);
    EXPECT_EQ(ReferenceFold({packet.begin(), packet.begin() + 20}), 0xffff);
    uint32_t nSource, nDest;
    memcpy(&nSource, &packet[12], 4);
    memcpy(&nDest, &packet[16], 4);
    EXPECT_EQ(ntohl(nSource), endpoints.m_nSourceAddr);
    EXPECT_EQ(ntohl(nDest), endpoints.m_nDestAddr);

    // UDP header, and its checksum over pseudo-header + datagram.
    const uint8_t *pUdp = &packet[20];
    EXPECT_EQ(pUdp[0] << 8 | pUdp[1], 40000);
    EXPECT_EQ(pUdp[2] << 8 | pUdp[3], 27015);
    EXPECT_EQ(pUdp[4] << 8 | pUdp[5], static_cast<int>(8 + nSize));
    EXPECT_NE(pUdp[6] << 8 | pUdp[7], 0);  // zero would mean "none"
    std::vector<uint8_t> check(packet.begin() + 12, packet.begin() + 20);
    check.push_back(0);
    check.push_back(IPPROTO_UDP);
    check.push_back(pUdp[4]);
    check.push_back(pUdp[5]);
    check.insert(check.end(), packet.begin() + 20, packet.end());
    EXPECT_EQ(ReferenceFold(check), 0xffff);
  }
}

// ---------------------------------------------------------------------------
// Pacing (on a simulated clock)

TEST(TokenBucket, GrantsRateTimesIntervalPlusBurst) {
  struct Case {
    double flRate;
    double flBurst;
    int64_t nStepNs;  // how often the sender asks
  };
  const Case kCases[] = {
      {1000.0, 1.0, 37000},   {1000.0, 5.0, 1000000},
      {250000.0, 250.0, 3000}, {3.0, 1.0, 100000000},
      {1e6, 1000.0, 1500000},  // asks less often than the burst refills
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.flRate);
    const int64_t nStartNs = 5000000000;
    CTokenBucket bucket(c.flRate, c.flBurst, nStartNs);
    uint64_t nTaken = 0;
    const int64_t nSpanNs = 2000000000;
    for (int64_t t = nStartNs; t <= nStartNs + nSpanNs; t += c.nStepNs) {
      uint64_t n = bucket.Available(t);
      EXPECT_LE(n, static_cast<uint64_t>(std::max(1.0, c.flBurst)));
      bucket.Take(n);
      nTaken += n;
      if (bucket.Available(t) == 0) {
        EXPECT_GT(bucket.NextTokenNs(), t);
      }
    }
    // From the start: the first token plus what accrued, never more.
    EXPECT_LE(nTaken, static_cast<uint64_t>(c.flRate * 2.0) + 1);
    if (c.nStepNs * c.flRate * 1e-9 <= c.flBurst) {
      // A sender that asks before the burst overflows loses nothing, even
      // though it never asks exactly when a token becomes whole.
      EXPECT_GE(nTaken + 1, static_cast<uint64_t>(c.flRate * 2.0));
    }
  }
}

TEST(TokenBucket, NextTokenIsReallyThere) {
  CTokenBucket bucket(3000.0, 1.0, 0);
  ASSERT_EQ(bucket.Available(0), 1u);
  bucket.Take(1);
  ASSERT_EQ(bucket.Available(1000), 0u);
  int64_t nNext = bucket.NextTokenNs();
  EXPECT_EQ(bucket.Available(nNext), 1u);
  // Idle time never piles up more than the burst.
  EXPECT_EQ(bucket.Available(nNext + 60000000000), 1u);

  CTokenBucket burst(1000.0, 8.0, 0);
  EXPECT_EQ(burst.Available(3600000000000), 8u);
  burst.Take(8);
  EXPECT_EQ(burst.Available(3600000000000), 0u);
}

// ---------------------------------------------------------------------------
// Ping codec and statistics

TEST(PingCodec, AnswersParseAndOthersDoNot) {
  uint8_t ping[kPingSize];
  BuildPing(0x01020304, 0x1122334455667788, ping);
  EXPECT_EQ(memcmp(ping, "\xff\xff\xff\xffi", 5), 0);

  uint8_t pong[kPingSize];
  memcpy(pong, ping, sizeof(pong));
  pong[4] = 'j';
  uint32_t nSequence = 0;
  int64_t nSentNs = 0;
  ASSERT_TRUE(ParsePong(pong, sizeof(pong), &nSequence, &nSentNs));
  EXPECT_EQ(nSequence, 0x01020304u);
  EXPECT_EQ(nSentNs, 0x1122334455667788);

  EXPECT_FALSE(ParsePong(ping, sizeof(ping), &nSequence, &nSentNs));  // 'i'
  EXPECT_FALSE(ParsePong(pong, sizeof(pong) - 1, &nSequence, &nSentNs));
  uint8_t longer[kPingSize + 1] = {};
  memcpy(longer, pong, sizeof(pong));
  EXPECT_FALSE(ParsePong(longer, sizeof(longer), &nSequence, &nSentNs));
  pong[0] = 0xfe;
  EXPECT_FALSE(ParsePong(pong, sizeof(pong), &nSequence, &nSentNs));
}

TEST(PingCodec, NearestRankPercentiles) {
  std::vector<int64_t> hundred;
  for (int i = 1; i <= 100; ++i) hundred.push_back(i);
  struct Case {
    std::vector<int64_t> sorted;
    double q;
    int64_t nExpected;
  };
  const Case kCases[] = {
      {{7}, 0.5, 7},        {{7}, 0.99, 7},       {{1, 2}, 0.5, 1},
      {{1, 2}, 0.99, 2},    {{1, 2, 3, 4}, 0.5, 2}, {hundred, 0.5, 50},
      {hundred, 0.99, 99},  {hundred, 1.0, 100},
  };
  for (const Case &c : kCases)
    EXPECT_EQ(Percentile(c.sorted, c.q), c.nExpected)
        << c.sorted.size() << " values, q " << c.q;
}

// ---------------------------------------------------------------------------
// The binary

struct ToolRun {
  int m_nExit = -1;
  std::string m_Out;
  std::string m_Err;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs qgate-flood with `args`; kills it if it outlives the watchdog.
ToolRun RunTool(const std::vector<std::string> &args) {
  const char *pszBin = getenv("QG_BIN_DIR");
  std::string binary = std::string(pszBin ? pszBin : ".") + "/qgate-flood";
  char szOut[] = "/tmp/qgate-flood-out-XXXXXX";
  char szErr[] = "/tmp/qgate-flood-err-XXXXXX";
  int nOut = mkstemp(szOut);
  int nErr = mkstemp(szErr);
  ToolRun run;
  if (nOut < 0 || nErr < 0) {
    ADD_FAILURE() << "mkstemp";
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, nOut, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, nErr, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  std::vector<char *> argv = {const_cast<char *>(binary.c_str())};
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int nSpawn =
      posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(),
                  environ);
  posix_spawn_file_actions_destroy(&actions);
  close(nOut);
  close(nErr);
  if (nSpawn != 0) {
    ADD_FAILURE() << "cannot start " << binary << ": " << strerror(nSpawn);
  } else {
    int nStatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      pid_t nDone = waitpid(pid, &nStatus, WNOHANG);
      if (nDone == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
        ADD_FAILURE() << "qgate-flood outlived the watchdog";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(nStatus)) run.m_nExit = WEXITSTATUS(nStatus);
  }
  run.m_Out = ReadFile(szOut);
  run.m_Err = ReadFile(szErr);
  unlink(szOut);
  unlink(szErr);
  return run;
}

// A flat reading of the tool's one-object JSON: "key" -> value text, with
// the members of a nested object as "outer.inner".  Strings lose their
// quotes; null stays "null".  Returns false on anything malformed.
bool ParseJsonObject(const std::string &text, size_t *pPos,
                     const std::string &prefix,
                     std::map<std::string, std::string> *pOut) {
  size_t &i = *pPos;
  auto Skip = [&] {
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
      ++i;
  };
  auto ReadString = [&](std::string *pValue) {
    if (i >= text.size() || text[i] != '"') return false;
    size_t nEnd = text.find('"', i + 1);
    if (nEnd == std::string::npos) return false;
    *pValue = text.substr(i + 1, nEnd - i - 1);
    i = nEnd + 1;
    return true;
  };
  Skip();
  if (i >= text.size() || text[i] != '{') return false;
  ++i;
  Skip();
  if (i < text.size() && text[i] == '}') return ++i, true;
  for (;;) {
    Skip();
    std::string key;
    if (!ReadString(&key)) return false;
    Skip();
    if (i >= text.size() || text[i++] != ':') return false;
    Skip();
    if (i >= text.size()) return false;
    if (text[i] == '{') {
      (*pOut)[prefix + key] = "{}";
      if (!ParseJsonObject(text, pPos, prefix + key + ".", pOut))
        return false;
    } else if (text[i] == '"') {
      std::string value;
      if (!ReadString(&value)) return false;
      (*pOut)[prefix + key] = value;
    } else {
      size_t nEnd = text.find_first_of(",}", i);
      if (nEnd == std::string::npos || nEnd == i) return false;
      (*pOut)[prefix + key] = text.substr(i, nEnd - i);
      i = nEnd;
    }
    Skip();
    if (i >= text.size()) return false;
    if (text[i] == '}') return ++i, true;
    if (text[i++] != ',') return false;
  }
}

std::map<std::string, std::string> ParseSummary(const std::string &text) {
  std::map<std::string, std::string> values;
  size_t nPos = 0;
  bool bOk = ParseJsonObject(text, &nPos, "", &values);
  EXPECT_TRUE(bOk) << text;
  EXPECT_EQ(text.substr(nPos), "\n") << "one object, one line: " << text;
  return values;
}

TEST(FloodBinary, RefusesWhatItMustNotDo) {
  struct Case {
    std::vector<std::string> args;
    const char *pszError;
  };
  const Case kCases[] = {
      {{"--target", "10.0.0.1:27015", "--count", "1"}, "outside loopback"},
      {{"--target", "192.168.1.1:27015", "--count", "1"}, "outside loopback"},
      {{"--target", "8.8.8.8:53", "--count", "1"}, "outside loopback"},
      {{"--target", "::1", "--count", "1"}, "expected ADDR:PORT"},
      {{"--target", "[::1]:27015", "--count", "1"}, "expected ADDR:PORT"},
      {{"--target", "garbage", "--count", "1"}, "expected ADDR:PORT"},
      {{"--count", "1"}, "--target ADDR:PORT is required"},
      {{"--target", "127.0.0.1:27015", "--size", "70000"}, "--size"},
      {{"--target", "127.0.0.1:27015", "--frobnicate"}, "unknown option"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.m_nExit, 2);
    EXPECT_EQ(run.m_Err.rfind("qgate-flood: ", 0), 0u) << run.m_Err;
    EXPECT_NE(run.m_Err.find(c.pszError), std::string::npos) << run.m_Err;
    EXPECT_EQ(run.m_Out, "");
  }
}

TEST(FloodBinary, HelpGoesToStdout) {
  ToolRun run = RunTool({"--help"});
  EXPECT_EQ(run.m_nExit, 0);
  EXPECT_EQ(run.m_Out.rfind("usage: qgate-flood --target ADDR:PORT", 0), 0u);
  EXPECT_NE(run.m_Out.find("--ping HZ"), std::string::npos);
  EXPECT_EQ(run.m_Err, "");
}

struct Datagram {
  uint32_t m_nSourceAddr;  // host order
  size_t m_nSize;
};

// A UDP socket on 127.0.0.1 (port chosen by the kernel) with a deep
// receive buffer, drained by its own thread.  With echo on it answers
// connectionless pings ('i') with 'j' and the same payload, as the server
// does, and keeps them out of the record.
class CUdpReceiver {
 public:
  explicit CUdpReceiver(bool bEcho) : m_bEcho(bEcho) {
    m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int nBuffer = 64 << 20;
    if (setsockopt(m_Fd, SOL_SOCKET, SO_RCVBUFFORCE, &nBuffer,
                   sizeof(nBuffer)) != 0)
      setsockopt(m_Fd, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof(nBuffer));
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(m_Fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)),
              0);
    socklen_t nLength = sizeof(local);
    getsockname(m_Fd, reinterpret_cast<sockaddr *>(&local), &nLength);
    m_nPort = ntohs(local.sin_port);
    m_Thread = std::thread(&CUdpReceiver::Run, this);
  }

  ~CUdpReceiver() {
    m_bStop = true;
    m_Thread.join();
    close(m_Fd);
  }

  std::string Target() const {
    return "127.0.0.1:" + std::to_string(m_nPort);
  }

  // Waits (boundedly) until nothing has arrived for a while, then returns
  // everything received.  The tool has exited by then, so whatever it sent
  // is already queued.
  std::vector<Datagram> Settle() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    size_t nSeen = SIZE_MAX;
    for (;;) {
      size_t nNow = Count();
      if (nNow == nSeen || std::chrono::steady_clock::now() > deadline) break;
      nSeen = nNow;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Received;
  }

 private:
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Received.size();
  }

  void Run() {
    constexpr int kBatch = 64;
    static thread_local uint8_t buffers[kBatch][2048];
    while (!m_bStop) {
      pollfd pfd = {m_Fd, POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      mmsghdr msgs[kBatch];
      iovec iov[kBatch];
      sockaddr_in from[kBatch];
      memset(msgs, 0, sizeof(msgs));
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {buffers[i], sizeof(buffers[i])};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
      }
      int n = recvmmsg(m_Fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(m_Mutex);
      for (int i = 0; i < n; ++i) {
        size_t nSize = msgs[i].msg_len;
        if (m_bEcho && nSize >= 5 &&
            memcmp(buffers[i], "\xff\xff\xff\xffi", 5) == 0) {
          buffers[i][4] = 'j';
          sendto(m_Fd, buffers[i], nSize, 0,
                 reinterpret_cast<sockaddr *>(&from[i]), sizeof(from[i]));
          continue;
        }
        m_Received.push_back({ntohl(from[i].sin_addr.s_addr), nSize});
      }
    }
  }

  bool m_bEcho;
  int m_Fd = -1;
  uint16_t m_nPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
  std::mutex m_Mutex;
  std::vector<Datagram> m_Received;
};

bool RawSocketsAvailable() {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Each end-to-end case runs once per sending mode.
class FloodSend : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "raw" && !RawSocketsAvailable())
      GTEST_SKIP() << "raw sockets need CAP_NET_RAW";
  }

  // Runs the tool with --json against `receiver` in this mode; checks the
  // exit code and returns the parsed summary.
  std::map<std::string, std::string> Flood(CUdpReceiver &receiver,
                                           std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--target", receiver.Target(), "--mode", GetParam(),
                 "--json", "--max-seconds", "30"});
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.m_nExit, 0) << run.m_Err;
    EXPECT_EQ(run.m_Err, "");  // no progress bar off a terminal
    std::map<std::string, std::string> summary = ParseSummary(run.m_Out);
    EXPECT_EQ(summary["mode"], GetParam());
    EXPECT_EQ(summary["target"], receiver.Target());
    return summary;
  }
};

TEST_P(FloodSend, EmptyDatagramsArriveEmptyAndAllCounted) {
  CUdpReceiver receiver(false);
  auto summary = Flood(receiver, {"--count", "3000"});
  std::vector<Datagram> got = receiver.Settle();
  EXPECT_EQ(summary["sent"], "3000");
  EXPECT_EQ(summary["bytes"], "0");
  EXPECT_EQ(summary["size"], "0");
  EXPECT_EQ(summary["sources"], "1");
  EXPECT_EQ(summary["stopped_by"], "count");
  EXPECT_EQ(summary["ping"], "null");
  ASSERT_EQ(got.size(), 3000u);
  for (const Datagram &d : got) {
    ASSERT_EQ(d.m_nSize, 0u);
    ASSERT_EQ(d.m_nSourceAddr, SourceAddress(0));
  }
}

TEST_P(FloodSend, SizedDatagramsArriveWithThatSize) {
  for (const char *pszSize : {"1", "37", "1400"}) {
    SCOPED_TRACE(pszSize);
    CUdpReceiver receiver(false);
    auto summary = Flood(receiver, {"--count", "300", "--size", pszSize});
    std::vector<Datagram> got = receiver.Settle();
    size_t nSize = strtoul(pszSize, nullptr, 10);
    EXPECT_EQ(summary["sent"], "300");
    EXPECT_EQ(summary["size"], pszSize);
    EXPECT_EQ(summary["bytes"], std::to_string(300 * nSize));
    ASSERT_EQ(got.size(), 300u);
    for (const Datagram &d : got) ASSERT_EQ(d.m_nSize, nSize);
  }
}

// --sources K: exactly K distinct loopback sources, used evenly, plus the
// bound-socket pool that is smaller than K and must rebind.
TEST_P(FloodSend, SourcesAreDistinctLoopbackAddresses) {
  struct Case {
    int nSources;
    int nPerSource;
    const char *pszPool;
  };
  const Case kCases[] = {{1, 5, "8192"}, {50, 10, "8192"}, {40, 3, "7"},
                         {3000, 2, "8192"}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.nSources);
    CUdpReceiver receiver(false);
    int nCount = c.nSources * c.nPerSource;
    auto summary = Flood(receiver, {"--count", std::to_string(nCount),
                                    "--sources", std::to_string(c.nSources),
                                    "--socket-pool", c.pszPool});
    std::vector<Datagram> got = receiver.Settle();
    EXPECT_EQ(summary["sent"], std::to_string(nCount));
    EXPECT_EQ(summary["sources"], std::to_string(c.nSources));
    ASSERT_EQ(got.size(), static_cast<size_t>(nCount));
    std::map<uint32_t, int> perSource;
    for (const Datagram &d : got) {
      ASSERT_EQ(d.m_nSourceAddr >> 24, 127u);
      ASSERT_NE(d.m_nSourceAddr, 0x7f000001u);
      ++perSource[d.m_nSourceAddr];
    }
    EXPECT_EQ(perSource.size(), static_cast<size_t>(c.nSources));
    for (const auto &entry : perSource) EXPECT_EQ(entry.second, c.nPerSource);
  }
}

TEST_P(FloodSend, PingsAnsweredDuringTheFloodAreNotLost) {
  CUdpReceiver echo(true);
  auto summary = Flood(echo, {"--seconds", "0.5", "--rate", "20000",
                              "--sources", "20", "--ping", "50"});
  std::vector<Datagram> got = echo.Settle();
  EXPECT_EQ(summary["stopped_by"], "seconds");
  EXPECT_EQ(summary["sent"], std::to_string(got.size()));
  EXPECT_EQ(summary["ping"], "{}");
  EXPECT_EQ(summary["ping.hz"], "50");
  EXPECT_EQ(summary["ping.lost"], "0");
  EXPECT_NE(summary["ping.sent"], "0");
  EXPECT_EQ(summary["ping.answered"], summary["ping.sent"]);
  double flP50 = atof(summary["ping.p50_ms"].c_str());
  double flP99 = atof(summary["ping.p99_ms"].c_str());
  double flMax = atof(summary["ping.max_ms"].c_str());
  EXPECT_GE(flP50, 0.0);
  EXPECT_LE(flP50, flP99);
  EXPECT_LE(flP99, flMax);
}

TEST_P(FloodSend, UnansweredPingsAreLost) {
  CUdpReceiver silent(false);
  auto summary = Flood(silent, {"--seconds", "0.2", "--rate", "1000",
                                "--ping", "40"});
  silent.Settle();
  EXPECT_NE(summary["ping.sent"], "0");
  EXPECT_EQ(summary["ping.answered"], "0");
  EXPECT_EQ(summary["ping.lost"], summary["ping.sent"]);
  EXPECT_EQ(summary["ping.p50_ms"], "null");
  EXPECT_EQ(summary["ping.max_ms"], "null");
}

// The pacer's guarantee, not a speed claim: at --rate R the tool starts
// with one token and gains R a second, so by time t it has sent at most
// 1 + R * t datagrams, however the machine schedules it.
TEST_P(FloodSend, RateIsNeverExceeded) {
  CUdpReceiver receiver(false);
  auto summary = Flood(receiver, {"--count", "400", "--rate", "2000"});
  EXPECT_EQ(summary["stopped_by"], "count");
  EXPECT_GE(atof(summary["seconds"].c_str()), 399.0 / 2000.0 - 1e-5);
  uint64_t nTotal = strtoull(summary["sent"].c_str(), nullptr, 10);

  summary = Flood(receiver, {"--seconds", "0.3", "--rate", "1000"});
  EXPECT_EQ(summary["stopped_by"], "seconds");
  uint64_t nSent = strtoull(summary["sent"].c_str(), nullptr, 10);
  EXPECT_LE(nSent, 300u + 1u);
  nTotal += nSent;

  // A --count that the rate cannot reach in time ends at the hard cap
  // (Flood passes --max-seconds 30; the later one wins).
  summary = Flood(receiver, {"--count", "1000000000", "--rate", "1000",
                             "--max-seconds", "0.2"});
  EXPECT_EQ(summary["stopped_by"], "time_cap");
  nSent = strtoull(summary["sent"].c_str(), nullptr, 10);
  EXPECT_LE(nSent, 200u + 1u);
  nTotal += nSent;

  EXPECT_EQ(receiver.Settle().size(), nTotal);
}

INSTANTIATE_TEST_SUITE_P(Modes, FloodSend, ::testing::Values("raw", "bound"));

// 200,000 spoofed sources, as the soak uses them: raw sockets make that
// a matter of headers.
TEST(FloodRaw, TwoHundredThousandSources) {
  if (!RawSocketsAvailable()) GTEST_SKIP() << "raw sockets need CAP_NET_RAW";
  CUdpReceiver receiver(false);
  ToolRun run = RunTool({"--target", receiver.Target(), "--mode", "raw",
                         "--sources", "200000", "--count", "200000",
                         "--rate", "100000", "--json", "--max-seconds", "30"});
  ASSERT_EQ(run.m_nExit, 0) << run.m_Err;
  std::vector<Datagram> got = receiver.Settle();
  auto summary = ParseSummary(run.m_Out);
  EXPECT_EQ(summary["sent"], "200000");
  EXPECT_EQ(summary["sources"], "200000");
  ASSERT_EQ(got.size(), 200000u);
  std::set<uint32_t> sources;
  for (const Datagram &d : got) sources.insert(d.m_nSourceAddr);
  EXPECT_EQ(sources.size(), 200000u);
  EXPECT_EQ(*sources.begin(), SourceAddress(0));
  EXPECT_EQ(*sources.rbegin(), SourceAddress(199999));
}

// Off a terminal: no progress bar; --quiet leaves stdout empty, and the
// human summary says what was sent.
TEST(FloodBinary, HumanSummaryAndQuiet) {
  CUdpReceiver receiver(false);
  ToolRun run = RunTool({"--target", receiver.Target(), "--count", "10",
                         "--sources", "2", "--size", "3", "--mode", "bound"});
  EXPECT_EQ(run.m_nExit, 0);
  EXPECT_EQ(run.m_Err, "");
  EXPECT_EQ(run.m_Out.rfind("qgate-flood: 10 datagrams of 3 bytes (30 bytes) "
                            "to " + receiver.Target() + " from 2 sources\n",
                            0),
            0u)
      << run.m_Out;
  EXPECT_NE(run.m_Out.find("bound sockets, stopped by count"),
            std::string::npos);

  run = RunTool({"--target", receiver.Target(), "--count", "10", "--quiet"});
  EXPECT_EQ(run.m_nExit, 0);
  EXPECT_EQ(run.m_Out, "");
  EXPECT_EQ(run.m_Err, "");
  EXPECT_EQ(receiver.Settle().size(), 20u);
}

}  // namespace
}  // namespace qgflood
