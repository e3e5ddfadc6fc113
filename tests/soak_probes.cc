#include "tests/soak_probes.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace qgsoak {

namespace {

const char kEnabledLine[] = "[-] Quellgate - Enable";
const char kDisabledLine[] = "[-] Quellgate - Disable";
const char kHeaderLine[] = " Attacker IP\t|\tPacket";
const std::string kRule(32, '-');
const char kOthersName[] = "(others)";

// The line that begins at `*pOffset`, without its end; moves past it.
bool NextLine(const std::string &strText, size_t *pOffset,
              std::string *pLine) {
  size_t nEnd = strText.find('\n', *pOffset);
  if (nEnd == std::string::npos) return false;
  pLine->assign(strText, *pOffset, nEnd - *pOffset);
  *pOffset = nEnd + 1;
  return true;
}

bool ParseDecimal(const std::string &strText, int64_t *pValue) {
  size_t i = 0;
  bool bNegative = false;
  if (i < strText.size() && strText[i] == '-') {
    bNegative = true;
    ++i;
  }
  if (i == strText.size() || strText.size() - i > 10) return false;
  int64_t n = 0;
  for (; i < strText.size(); ++i) {
    if (strText[i] < '0' || strText[i] > '9') return false;
    n = n * 10 + (strText[i] - '0');
  }
  *pValue = bNegative ? -n : n;
  return true;
}

// The text of top-level member `strKey` of a flat JSON object: a number,
// or a string without its quotes.  Empty when it is missing.
std::string JsonValue(const std::string &strJson, const std::string &strKey) {
  std::string strNeedle = "\"" + strKey + "\":";
  size_t nAt = strJson.find(strNeedle);
  if (nAt == std::string::npos) return std::string();
  size_t nStart = nAt + strNeedle.size();
  if (nStart < strJson.size() && strJson[nStart] == '"') {
    size_t nEnd = strJson.find('"', nStart + 1);
    if (nEnd == std::string::npos) return std::string();
    return strJson.substr(nStart + 1, nEnd - nStart - 1);
  }
  size_t nEnd = strJson.find_first_of(",}", nStart);
  if (nEnd == std::string::npos) return std::string();
  return strJson.substr(nStart, nEnd - nStart);
}

bool IsDottedAddress(const std::string &strText) {
  unsigned a, b, c, d;
  char szTail[2];
  if (sscanf(strText.c_str(), "%3u.%3u.%3u.%3u%1s", &a, &b, &c, &d,
             szTail) != 4)
    return false;
  return a < 256 && b < 256 && c < 256 && d < 256 &&
         DottedAddress((a << 24) | (b << 16) | (c << 8) | d) == strText;
}

}  // namespace

bool ParseNetStats(const std::string &strText, size_t *pOffset,
                   NetCounters *pCounters) {
  size_t nStart = strText.find("net_stats:", *pOffset);
  if (nStart == std::string::npos) return false;
  size_t nEnd = strText.find('\n', nStart);
  if (nEnd == std::string::npos) return false;
  if (!qgtest::ParseCountersLine(strText.substr(nStart, nEnd - nStart),
                                 pCounters)) {
    return false;
  }
  *pOffset = nEnd + 1;
  return true;
}

int64_t StatusReport::Sum() const {
  int64_t nSum = m_nOthers;
  for (const StatusRow &row : m_Rows) nSum += row.m_nCount;
  return nSum;
}

bool ParseStatusReport(const std::string &strText, size_t *pOffset,
                       StatusReport *pReport, std::string *pError) {
  StatusReport report;
  size_t i = *pOffset;
  std::string strLine;
  if (!NextLine(strText, &i, &strLine)) {
    *pError = "no state line";
    return false;
  }
  if (strLine == kEnabledLine) {
    report.m_bEnabled = true;
  } else if (strLine != kDisabledLine) {
    *pError = "state line \"" + strLine + "\"";
    return false;
  }
  if (!NextLine(strText, &i, &strLine) || strLine != kHeaderLine) {
    *pError = "header line \"" + strLine + "\"";
    return false;
  }
  if (!NextLine(strText, &i, &strLine) || strLine != kRule) {
    *pError = "rule under the header \"" + strLine + "\"";
    return false;
  }
  for (;;) {
    if (!NextLine(strText, &i, &strLine)) {
      *pError = "no footer";
      return false;
    }
    if (strLine == kRule) break;
    if (report.m_bHasOthers) {
      *pError = "a row after the others row: \"" + strLine + "\"";
      return false;
    }
    size_t nBar = strLine.find("\t|\t");
    StatusRow row;
    if (strLine.empty() || strLine[0] != ' ' || nBar == std::string::npos ||
        !ParseDecimal(strLine.substr(nBar + 3), &row.m_nCount)) {
      *pError = "row \"" + strLine + "\"";
      return false;
    }
    row.m_strAddress = strLine.substr(1, nBar - 1);
    if (row.m_strAddress == kOthersName) {
      report.m_bHasOthers = true;
      report.m_nOthers = row.m_nCount;
      continue;
    }
    if (!IsDottedAddress(row.m_strAddress)) {
      *pError = "address in row \"" + strLine + "\"";
      return false;
    }
    report.m_Rows.push_back(std::move(row));
  }
  *pReport = std::move(report);
  *pOffset = i;
  return true;
}

bool ReadMemory(pid_t pid, MemorySample *pSample) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string strLine;
  MemorySample sample;
  int nFound = 0;
  while (std::getline(in, strLine)) {
    unsigned long long n = 0;
    if (sscanf(strLine.c_str(), "VmRSS: %llu kB", &n) == 1) {
      sample.m_nRssKiB = n;
      ++nFound;
    } else if (sscanf(strLine.c_str(), "VmHWM: %llu kB", &n) == 1) {
      sample.m_nHwmKiB = n;
      ++nFound;
    }
  }
  if (nFound != 2) return false;
  *pSample = sample;
  return true;
}

bool ReadUdpSocket(int nPort, UdpSocketState *pState) {
  // The local address as the kernel prints it: the address's bytes in
  // memory order, read as a host word, then the port; both in hex.
  char szLocal[32];
  snprintf(szLocal, sizeof szLocal, "0100007F:%04X", nPort);
  std::ifstream in("/proc/net/udp");
  std::string strLine;
  std::getline(in, strLine);  // the column names
  while (std::getline(in, strLine)) {
    std::istringstream fields(strLine);
    std::string strSlot, strLocalAddr, strRemote, strState, strQueues;
    fields >> strSlot >> strLocalAddr >> strRemote >> strState >> strQueues;
    if (strLocalAddr != szLocal) continue;
    size_t nColon = strQueues.find(':');
    if (nColon == std::string::npos) return false;
    // The drop count is the last column.
    std::string strField, strLast;
    while (fields >> strField) strLast = strField;
    pState->m_nQueuedBytes =
        strtoull(strQueues.c_str() + nColon + 1, nullptr, 16);
    pState->m_nDrops = strtoull(strLast.c_str(), nullptr, 10);
    return true;
  }
  return false;
}

std::string SanitizerReports(const std::string &strErr) {
  static const char *const kMarks[] = {
      "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
      "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer",
      "runtime error:", "SUMMARY: AddressSanitizer",
      "SUMMARY: ThreadSanitizer", "SUMMARY: UndefinedBehaviorSanitizer",
  };
  std::string strFound;
  std::istringstream lines(strErr);
  std::string strLine;
  while (std::getline(lines, strLine)) {
    for (const char *pszMark : kMarks) {
      if (strLine.find(pszMark) != std::string::npos) {
        strFound += strLine + "\n";
        break;
      }
    }
  }
  return strFound;
}

bool ParseFloodSummary(const std::string &strJson, FloodSummary *pSummary) {
  std::string strSent = JsonValue(strJson, "sent");
  std::string strSources = JsonValue(strJson, "sources");
  std::string strSeconds = JsonValue(strJson, "seconds");
  if (strSent.empty() || strSources.empty() || strSeconds.empty())
    return false;
  pSummary->m_strMode = JsonValue(strJson, "mode");
  pSummary->m_strStoppedBy = JsonValue(strJson, "stopped_by");
  pSummary->m_nSent = strtoull(strSent.c_str(), nullptr, 10);
  pSummary->m_nSources = strtoull(strSources.c_str(), nullptr, 10);
  pSummary->m_flSeconds = atof(strSeconds.c_str());
  return true;
}

std::string DottedAddress(uint32_t nAddr) {
  char szText[16];
  snprintf(szText, sizeof szText, "%u.%u.%u.%u", nAddr >> 24,
           (nAddr >> 16) & 255, (nAddr >> 8) & 255, nAddr & 255);
  return szText;
}

}  // namespace qgsoak
