// qgate-flood: sends UDP datagrams from spoofed loopback sources to a
// loopback target, optionally pinging it meanwhile, and reports what it did.
//
// The send loop is bounded twice: by --count or --seconds, and always by a
// time cap.  SIGINT and SIGTERM end it early and still print the summary.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tools/flood_options.h"
#include "tools/flood_report.h"
#include "tools/ping_probe.h"
#include "tools/spoof_sender.h"
#include "tools/token_bucket.h"

namespace qgflood {

namespace {

volatile sig_atomic_t s_bStopRequested = 0;

void OnStopSignal(int) { s_bStopRequested = 1; }

void InstallStopHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Gaps shorter than this are spun, longer ones slept: a sleep wakes a few
// microseconds late, which would cap the rate of a precise fast pace.
constexpr int64_t kShortestSleepNs = 20000;
// How many tokens may build up while the loop is held up (a late wake, the
// scheduler, a slow batch): 5 ms of datagrams, and at least two, so that a
// stall of that length on a loaded machine does not lower the achieved rate.
constexpr double kBurstSeconds = 0.005;
constexpr double kMinBurst = 2.0;

void SleepUntil(int64_t nWhenNs) {
  struct timespec when = {static_cast<time_t>(nWhenNs / 1000000000),
                          static_cast<long>(nWhenNs % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
}

struct FloodResult {
  uint64_t m_nSent = 0;
  uint64_t m_nSendErrors = 0;
  double m_flSeconds = 0.0;
  const char *m_pszStoppedBy = "";
  bool m_bFailed = false;
  int m_nErrno = 0;
};

FloodResult RunFlood(const FloodOptions &options, CSpoofSender *pSender,
                     CProgressBar *pProgress) {
  FloodResult result;
  const int64_t nStartNs = MonotonicNanos();
  const int64_t nDeadlineNs =
      nStartNs + static_cast<int64_t>(options.TimeLimit() * 1e9);
  const bool bPaced = options.m_flRate > 0.0;
  CTokenBucket bucket(bPaced ? options.m_flRate : 1.0,
                      std::max(kMinBurst, options.m_flRate * kBurstSeconds),
                      nStartNs);
  const uint64_t nBatch = static_cast<uint64_t>(pSender->BatchLimit());
  int64_t nNowNs = nStartNs;

  for (;;) {
    nNowNs = MonotonicNanos();
    if (s_bStopRequested) {
      result.m_pszStoppedBy = "signal";
      break;
    }
    if (options.m_nCount != 0 && result.m_nSent >= options.m_nCount) {
      result.m_pszStoppedBy = "count";
      break;
    }
    if (nNowNs >= nDeadlineNs) {
      result.m_pszStoppedBy =
          options.m_flSeconds > 0.0 ? "seconds" : "time_cap";
      break;
    }
    if (pProgress != nullptr) {
      double flElapsed = (nNowNs - nStartNs) * 1e-9;
      double flDone = flElapsed / options.TimeLimit();
      if (options.m_nCount != 0)
        flDone = std::max(flDone, static_cast<double>(result.m_nSent) /
                                      options.m_nCount);
      pProgress->Draw(flDone, result.m_nSent, flElapsed, nNowNs);
    }

    uint64_t nWant = nBatch;
    if (options.m_nCount != 0)
      nWant = std::min(nWant, options.m_nCount - result.m_nSent);
    if (bPaced) {
      uint64_t nAvailable = bucket.Available(nNowNs);
      if (nAvailable == 0) {
        int64_t nWakeNs = std::min(bucket.NextTokenNs(), nDeadlineNs);
        if (nWakeNs - nNowNs >= kShortestSleepNs) SleepUntil(nWakeNs);
        continue;
      }
      nWant = std::min(nWant, nAvailable);
    }

    int nSent = pSender->Send(result.m_nSent, static_cast<int>(nWant));
    if (nSent < 0) {
      result.m_bFailed = true;
      result.m_nErrno = errno;
      result.m_pszStoppedBy = "error";
      break;
    }
    if (static_cast<uint64_t>(nSent) < nWant) {
      // The kernel is out of buffer space for the moment: let the
      // receiver drain, then carry on from the datagram that did not go.
      ++result.m_nSendErrors;
      if (nSent == 0) sched_yield();
    }
    if (bPaced) bucket.Take(static_cast<uint64_t>(nSent));
    result.m_nSent += static_cast<uint64_t>(nSent);
  }
  result.m_flSeconds = (nNowNs - nStartNs) * 1e-9;
  if (pProgress != nullptr) pProgress->Clear();
  return result;
}

int Main(int argc, char **argv) {
  FloodOptions options;
  std::string error;
  switch (ParseFloodOptions(argc, argv, &options, &error)) {
    case ParseStatus::kHelp:
      fputs(FloodUsage(), stdout);
      return 0;
    case ParseStatus::kUsageError:
      fprintf(stderr, "qgate-flood: %s\n", error.c_str());
      return 2;
    case ParseStatus::kOk:
      break;
  }

  InstallStopHandlers();
  // Sleeps of the pacing loop wake when asked, not up to 50 us later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  std::unique_ptr<CSpoofSender> pSender = CreateSpoofSender(options, &error);
  if (!pSender) {
    fprintf(stderr, "qgate-flood: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<CPingProbe> pProbe;
  if (options.m_flPingHz > 0.0) {
    pProbe.reset(new CPingProbe(options.m_nTargetAddr, options.m_nTargetPort,
                                options.m_flPingHz));
    if (!pProbe->Start(&error)) {
      fprintf(stderr, "qgate-flood: %s\n", error.c_str());
      return 1;
    }
  }

  std::unique_ptr<CProgressBar> pProgress;
  if (!options.m_bQuiet && isatty(STDERR_FILENO))
    pProgress.reset(new CProgressBar(stderr));

  FloodResult result = RunFlood(options, pSender.get(), pProgress.get());

  FloodSummary summary;
  summary.m_Target = FormatAddress(options.m_nTargetAddr) + ":" +
                     std::to_string(options.m_nTargetPort);
  summary.m_Mode = pSender->Mode();
  summary.m_Note = pSender->Note();
  summary.m_nSent = result.m_nSent;
  summary.m_nSize = options.m_nSize;
  summary.m_nSources = static_cast<uint32_t>(
      std::min<uint64_t>(options.m_nSources, result.m_nSent));
  summary.m_flSeconds = result.m_flSeconds;
  summary.m_nSendErrors = result.m_nSendErrors;
  summary.m_StoppedBy = result.m_pszStoppedBy;
  if (pProbe) {
    summary.m_bPinged = true;
    summary.m_Ping = pProbe->Finish();
  }

  if (result.m_bFailed)
    fprintf(stderr, "qgate-flood: send failed: %s\n",
            strerror(result.m_nErrno));
  if (options.m_bJson) {
    fputs(FormatJson(summary).c_str(), stdout);
  } else if (!options.m_bQuiet) {
    fputs(FormatHuman(summary).c_str(), stdout);
  }
  fflush(stdout);
  return result.m_bFailed ? 1 : 0;
}

}  // namespace

}  // namespace qgflood

int main(int argc, char **argv) { return qgflood::Main(argc, argv); }
