// Option parsing is strict on purpose: a load tool that silently reads
// "--count 1e6" as 1 or "--target 10.0.0.1" as anything at all would make
// benchmark figures lie or send traffic off the machine.
#include "tools/flood_options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/source_addresses.h"

namespace qgflood {

namespace {

const char kUsage[] =
    "usage: qgate-flood --target ADDR:PORT [options]\n"
    "\n"
    "Sends UDP datagrams from spoofed loopback sources to a loopback "
    "target.\n"
    "\n"
    "  --target ADDR:PORT  where to send; ADDR must be inside 127.0.0.0/8\n"
    "  --size N            payload bytes per datagram (default 0: empty)\n"
    "  --sources K         distinct spoofed source addresses in 127.0.0.0/8\n"
    "                      (default 1; 127.1.0.1 upwards)\n"
    "  --count N           stop after N datagrams\n"
    "  --seconds S         stop after S seconds (default 10 when neither\n"
    "                      --count nor --seconds is given)\n"
    "  --max-seconds S     hard time cap when --seconds is not given\n"
    "                      (default 300)\n"
    "  --rate PPS          datagrams per second (default: as fast as it can)\n"
    "  --ping HZ           send connectionless pings during the flood and\n"
    "                      report round-trip p50, p99, max and losses\n"
    "  --mode MODE         auto (default), raw (needs CAP_NET_RAW and target\n"
    "                      127.0.0.1) or bound (one bound socket per source)\n"
    "  --socket-pool N     most bound sockets open at once (default 8192)\n"
    "  --json              print a one-object JSON summary on stdout\n"
    "  --quiet             print no summary (errors still go to stderr)\n"
    "  --help              print this text\n"
    "\n"
    "Exit codes: 0 done, 1 runtime failure, 2 usage error.\n";

// Whole-string unsigned integer in [nMin, nMax]; no sign, no spaces.
bool ParseUnsigned(const std::string &text, uint64_t nMin, uint64_t nMax,
                   uint64_t *pValue) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *pEnd = nullptr;
  unsigned long long nValue = strtoull(text.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0') return false;
  if (nValue < nMin || nValue > nMax) return false;
  *pValue = nValue;
  return true;
}

// Whole-string finite decimal in (flMin, flMax]; "1e3" and "0.5" are fine,
// "nan", "inf" and trailing junk are not.
bool ParsePositive(const std::string &text, double flMax, double *pValue) {
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.'))
    return false;
  errno = 0;
  char *pEnd = nullptr;
  double flValue = strtod(text.c_str(), &pEnd);
  if (errno != 0 || *pEnd != '\0' || !isfinite(flValue)) return false;
  if (flValue <= 0.0 || flValue > flMax) return false;
  *pValue = flValue;
  return true;
}

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

}  // namespace

std::string FormatAddress(uint32_t nAddr) {
  char szText[16];
  snprintf(szText, sizeof(szText), "%u.%u.%u.%u", nAddr >> 24,
           (nAddr >> 16) & 0xff, (nAddr >> 8) & 0xff, nAddr & 0xff);
  return szText;
}

bool ParseLoopbackTarget(const std::string &text, uint32_t *pAddr,
                         uint16_t *pPort, std::string *pError) {
  size_t nColon = text.rfind(':');
  if (nColon == std::string::npos || nColon == 0 ||
      text.find(':') != nColon) {
    *pError = "--target " + Quoted(text) +
              ": expected ADDR:PORT with an IPv4 loopback address "
              "(127.0.0.0/8)";
    return false;
  }
  std::string host = text.substr(0, nColon);
  std::string port = text.substr(nColon + 1);
  if (host == "localhost") host = "127.0.0.1";
  struct in_addr addr;
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1) {
    *pError = "--target " + Quoted(text) + ": " + Quoted(host) +
              " is not a dotted-quad IPv4 address";
    return false;
  }
  uint32_t nAddr = ntohl(addr.s_addr);
  if (!IsLoopback(nAddr)) {
    *pError = "--target " + Quoted(text) +
              ": refusing to send outside loopback; the target must be "
              "inside 127.0.0.0/8";
    return false;
  }
  uint64_t nPort = 0;
  if (!ParseUnsigned(port, 1, 65535, &nPort)) {
    *pError = "--target " + Quoted(text) + ": port must be 1..65535";
    return false;
  }
  *pAddr = nAddr;
  *pPort = static_cast<uint16_t>(nPort);
  return true;
}

ParseStatus ParseFloodOptions(int argc, const char *const *argv,
                              FloodOptions *pOptions, std::string *pError) {
  FloodOptions options;
  bool bHaveTarget = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg;
    std::string value;
    bool bInlineValue = false;
    size_t nEquals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && nEquals != std::string::npos) {
      name = arg.substr(0, nEquals);
      value = arg.substr(nEquals + 1);
      bInlineValue = true;
    }

    // Flags first: they take no value.
    if (name == "--help" || name == "-h") return ParseStatus::kHelp;
    if (name == "--json" || name == "--quiet") {
      if (bInlineValue) {
        *pError = name + " takes no value";
        return ParseStatus::kUsageError;
      }
      (name == "--json" ? options.m_bJson : options.m_bQuiet) = true;
      continue;
    }

    static const char *const kValued[] = {
        "--target", "--size",  "--sources", "--count",       "--seconds",
        "--rate",   "--ping",  "--mode",    "--max-seconds", "--socket-pool"};
    bool bKnown = false;
    for (const char *pszKnown : kValued) bKnown = bKnown || name == pszKnown;
    if (!bKnown) {
      *pError = "unknown option " + Quoted(arg) + " (see --help)";
      return ParseStatus::kUsageError;
    }
    if (!bInlineValue) {
      if (i + 1 >= argc) {
        *pError = name + " needs a value";
        return ParseStatus::kUsageError;
      }
      value = argv[++i];
    }

    uint64_t nValue = 0;
    bool bOk = true;
    const char *pszExpect = "";
    if (name == "--target") {
      if (!ParseLoopbackTarget(value, &options.m_nTargetAddr,
                               &options.m_nTargetPort, pError))
        return ParseStatus::kUsageError;
      bHaveTarget = true;
    } else if (name == "--size") {
      bOk = ParseUnsigned(value, 0, kMaxPayloadSize, &nValue);
      options.m_nSize = static_cast<uint32_t>(nValue);
      pszExpect = "an integer 0..65507";
    } else if (name == "--sources") {
      bOk = ParseUnsigned(value, 1, kMaxSources, &nValue);
      options.m_nSources = static_cast<uint32_t>(nValue);
      pszExpect = "an integer 1..16581120";
    } else if (name == "--count") {
      bOk = ParseUnsigned(value, 1, UINT64_MAX, &nValue);
      options.m_nCount = nValue;
      pszExpect = "a positive integer";
    } else if (name == "--socket-pool") {
      bOk = ParseUnsigned(value, 1, 1u << 20, &nValue);
      options.m_nSocketPool = static_cast<uint32_t>(nValue);
      pszExpect = "an integer 1..1048576";
    } else if (name == "--seconds") {
      bOk = ParsePositive(value, kLongestRunSeconds, &options.m_flSeconds);
      pszExpect = "a positive number of seconds up to 86400";
    } else if (name == "--max-seconds") {
      bOk = ParsePositive(value, kLongestRunSeconds, &options.m_flMaxSeconds);
      pszExpect = "a positive number of seconds up to 86400";
    } else if (name == "--rate") {
      bOk = ParsePositive(value, 1e9, &options.m_flRate);
      pszExpect = "a positive number of datagrams per second";
    } else if (name == "--ping") {
      bOk = ParsePositive(value, kMaxPingHz, &options.m_flPingHz);
      pszExpect = "a positive rate in Hz up to 1000";
    } else if (name == "--mode") {
      if (value == "auto") {
        options.m_eMode = SenderMode::kAuto;
      } else if (value == "raw") {
        options.m_eMode = SenderMode::kRaw;
      } else if (value == "bound") {
        options.m_eMode = SenderMode::kBound;
      } else {
        bOk = false;
        pszExpect = "auto, raw or bound";
      }
    }
    if (!bOk) {
      *pError = name + " " + Quoted(value) + ": expected " + pszExpect;
      return ParseStatus::kUsageError;
    }
  }

  if (!bHaveTarget) {
    *pError = "--target ADDR:PORT is required (see --help)";
    return ParseStatus::kUsageError;
  }
  if (options.m_eMode == SenderMode::kRaw &&
      options.m_nTargetAddr != kRawTargetAddr) {
    *pError = "--mode raw sends only to 127.0.0.1; use --mode bound for " +
              FormatAddress(options.m_nTargetAddr);
    return ParseStatus::kUsageError;
  }
  if (options.m_nCount == 0 && options.m_flSeconds == 0.0)
    options.m_flSeconds = kDefaultSeconds;
  *pOptions = options;
  return ParseStatus::kOk;
}

const char *FloodUsage() { return kUsage; }

}  // namespace qgflood
