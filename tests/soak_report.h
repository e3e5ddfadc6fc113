// Test support for the soak: its figures, as one line for the test's log
// and as the Markdown page docs/soak.md.
#ifndef QUELLGATE_TESTS_SOAK_REPORT_H_
#define QUELLGATE_TESTS_SOAK_REPORT_H_

#include <stdint.h>

#include <string>

#include "tests/soak_probes.h"

namespace qgsoak {

struct SoakFigures {
  // The setting.
  std::string m_strBuild;  // which build: optimised, or which sanitizer
  uint32_t m_nSenders = 0;
  double m_flRate = 0.0;   // datagrams per second asked of the flood tool
  double m_flSeconds = 0.0;

  // The flood tool's two runs.
  uint64_t m_nMainSent = 0;
  double m_flMainSeconds = 0.0;
  uint64_t m_nFinalSent = 0;
  double m_flFinalSeconds = 0.0;

  // The engine at the end, drained, and what it read with the filter on.
  NetCounters m_End;
  uint64_t m_nFiltered = 0;
  uint64_t m_nKernelDrops = 0;

  // The last phase.
  uint64_t m_nFinalDrops = 0;
  uint64_t m_nFinalFiltered = 0;
  int64_t m_nFinalReportSum = 0;
  size_t m_nFinalRows = 0;
  int64_t m_nFinalOthers = 0;
  bool m_bFinalRowsChecked = false;  // row by row against the schedule

  // The console.
  int m_nStatusReads = 0;
  int m_nToggles = 0;
  int m_nReloads = 0;
  int m_nReloadsFilterOn = 0;
  int m_nLastPluginId = 0;
  int m_nExactChecks = 0;
  int m_nExactChecksWithOthers = 0;  // of them, with the table full
  int m_nEpochEndChecks = 0;         // of them, the last of an epoch
  int m_nLiveChecks = 0;

  // The server's memory, in KiB.
  MemorySample m_StartMemory;
  uint64_t m_nHwmKiB = 0;             // VmHWM at the end: the peak
  uint64_t m_nPeakRssSampledKiB = 0;  // the highest VmRSS sampled
  int m_nMemorySamples = 0;
  uint64_t m_nGrowthBoundKiB = 0;     // the bound is start + this
};

// "12,345,678".
std::string WithCommas(uint64_t n);
// "12.3 MiB" for a size in KiB.
std::string Mib(uint64_t nKiB);

// One line, without its end.
std::string SoakSummaryLine(const SoakFigures &f);

// The page: what was run, the figures, and what was checked.
std::string SoakReportPage(const SoakFigures &f);

}  // namespace qgsoak

#endif  // QUELLGATE_TESTS_SOAK_REPORT_H_
