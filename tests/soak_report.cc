#include "tests/soak_report.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace qgsoak {

namespace {

std::string Seconds(double flSeconds, int nDecimals) {
  char szText[32];
  snprintf(szText, sizeof szText, "%.*f s", nDecimals, flSeconds);
  return szText;
}

}  // namespace

std::string WithCommas(uint64_t n) {
  std::string strText = std::to_string(n);
  for (int i = static_cast<int>(strText.size()) - 3; i > 0; i -= 3)
    strText.insert(static_cast<size_t>(i), ",");
  return strText;
}

std::string Mib(uint64_t nKiB) {
  char szText[32];
  snprintf(szText, sizeof szText, "%.1f MiB", nKiB / 1024.0);
  return szText;
}

std::string SoakSummaryLine(const SoakFigures &f) {
  std::ostringstream out;
  out << "soak: " << Seconds(f.m_flSeconds, 0) << ", " << f.m_strBuild
      << " build, " << WithCommas(f.m_nSenders) << " senders, "
      << WithCommas(f.m_nMainSent + f.m_nFinalSent) << " datagrams sent ("
      << WithCommas(f.m_nFinalSent) << " in the last phase), "
      << WithCommas(f.m_nFiltered) << " read with the filter on, "
      << WithCommas(f.m_End.m_nEmptyReads) << " with it off or unloaded, "
      << WithCommas(f.m_nKernelDrops) << " dropped by the kernel; "
      << f.m_nReloads << " reloads, " << f.m_nToggles << " toggles, "
      << f.m_nStatusReads << " status reads, " << f.m_nExactChecks
      << " exact checks; peak memory " << Mib(f.m_nHwmKiB) << " (bound "
      << Mib(f.m_StartMemory.m_nRssKiB + f.m_nGrowthBoundKiB) << ")";
  return out.str();
}

std::string SoakReportPage(const SoakFigures &f) {
  const uint64_t nSent = f.m_nMainSent + f.m_nFinalSent;
  const double flFloodSeconds =
      std::max(1e-3, f.m_flMainSeconds + f.m_flFinalSeconds);
  std::ostringstream out;
  out << "# Soak\n\n"
         "`make soak` runs `qgate-server --net-thread` under `qgate-flood` "
         "from 200,000\nspoofed sources on 127.0.0.0/8 while a second client "
         "drives the server\nconsole, then checks that the engine's "
         "`net_stats`, the plugin's `qgat_status`\nreport and the flood "
         "tool's own count agree. The same test runs for about 15 s\ninside "
         "`make test` (25 s under the sanitizers, which get a slower flood), "
         "with\nthe CTest label `soak` (`ctest -LE soak` leaves it out). The "
         "figures below are\nfrom one `make soak` run; the test writes this "
         "file when SOAK_REPORT names it\nand every check passed.\n\n";
  out << "## Figures\n\n| | |\n|---|---|\n"
      << "| duration | " << Seconds(f.m_flSeconds, 0) << " (main phase "
      << Seconds(f.m_flMainSeconds, 1) << ", last phase "
      << Seconds(f.m_flFinalSeconds, 1) << ") |\n"
      << "| build | " << f.m_strBuild << ", "
      << sysconf(_SC_NPROCESSORS_ONLN) << " processors |\n"
      << "| senders | " << WithCommas(f.m_nSenders)
      << " spoofed addresses from 127.1.0.1 up (raw socket) |\n"
      << "| flood rate | " << WithCommas(static_cast<uint64_t>(f.m_flRate))
      << " empty datagrams/s asked, "
      << WithCommas(static_cast<uint64_t>(nSent / flFloodSeconds))
      << " achieved |\n"
      << "| datagrams sent | " << WithCommas(nSent) << " ("
      << WithCommas(f.m_nMainSent) << " in the main phase, "
      << WithCommas(f.m_nFinalSent) << " in the last) |\n"
      << "| read by the engine | " << WithCommas(f.m_End.m_nDatagrams)
      << " datagrams, " << WithCommas(f.m_End.m_nPingsAnswered)
      << " of them the test's pings |\n"
      << "| read with the filter on (25-byte reports) | "
      << WithCommas(f.m_nFiltered) << " |\n"
      << "| read with the filter off or unloaded (empty reads) | "
      << WithCommas(f.m_End.m_nEmptyReads) << " |\n"
      << "| dropped by the kernel (receive queue full) | "
      << WithCommas(f.m_nKernelDrops) << " |\n"
      << "| console during the flood | " << f.m_nStatusReads
      << " `qgat_status` reports, " << f.m_nToggles
      << " `qgat_enable` toggles, " << f.m_nReloads
      << " `meta unload`/`meta load` cycles (" << f.m_nReloadsFilterOn
      << " with the filter on); last plugin id [" << f.m_nLastPluginId
      << "] |\n"
      << "| exact agreement checks, report = engine | " << f.m_nExactChecks
      << " passed (" << f.m_nEpochEndChecks << " of them at an epoch's end, "
      << f.m_nExactChecksWithOthers
      << " with the table full and the ` (others)` row in), plus "
      << f.m_nLiveChecks << " live bracket checks |\n"
      << "| last phase | " << WithCommas(f.m_nFinalSent) << " sent, "
      << WithCommas(f.m_nFinalFiltered) << " read with the filter on, "
      << WithCommas(f.m_nFinalDrops) << " dropped by the kernel; report "
      << WithCommas(static_cast<uint64_t>(f.m_nFinalReportSum)) << " in "
      << WithCommas(f.m_nFinalRows) << " rows + ` (others)` "
      << WithCommas(static_cast<uint64_t>(f.m_nFinalOthers))
      << (f.m_bFinalRowsChecked
              ? "; every row matches the tool's schedule"
              : "; rows not compared one by one (kernel drops)")
      << " |\n"
      << "| agreement | report = engine in every check; sent = read + "
         "dropped; read = filtered + empty + pings |\n"
      << "| server memory | " << Mib(f.m_StartMemory.m_nRssKiB)
      << " at start, peak " << Mib(f.m_nHwmKiB) << " (VmHWM; "
      << f.m_nMemorySamples << " samples, highest VmRSS seen "
      << Mib(f.m_nPeakRssSampledKiB) << "); bound "
      << Mib(f.m_StartMemory.m_nRssKiB + f.m_nGrowthBoundKiB)
      << ", the start + " << Mib(f.m_nGrowthBoundKiB) << " |\n"
      << "| sanitizer reports | none |\n\n";
  out << "## What is checked\n\n"
         "- The engine counts every read; the filter turns each empty "
         "datagram into a\n  25-byte read, and the only other datagrams are "
         "the test's 17-byte pings, so\n  `(bytes - 17 x pings) / 25` is the "
         "number of empty datagrams read with the\n  filter on. It stands "
         "still while the filter is out, and so does the table.\n"
         "- Each plugin load starts an epoch whose base is read while the "
         "plugin is out.\n  Every cycle switches the filter off mid-flood and "
         "checks that the report's\n  total (the ` (others)` row included) "
         "equals the engine's count since the\n  base. Half the unloads "
         "follow such a check with the filter still off, so\n  those epochs "
         "are checked to their very end; the other half unload with the\n  "
         "filter on, in the middle of its work. Epochs alternate between "
         "short ones and\n  long ones that fill the table and the ` (others)` "
         "row. With the filter on,\n  every report is read between two "
         "`net_stats` and must lie between their\n  figures.\n"
         "- After the flood: every datagram sent was read by the engine or "
         "dropped by\n  the kernel from the full receive queue (the socket's "
         "drop count in\n  /proc/net/udp), and every read is a filtered "
         "datagram, an empty read or a\n  ping.\n"
         "- The last phase, after a fresh `meta load` with the filter on, "
         "sends a known\n  count from all 200,000 senders, drains it, and "
         "compares the report with the\n  engine and the tool: 65,536 rows "
         "in the tool's order with the counts its\n  schedule gives, and the "
         "rest in ` (others)`.\n"
         "- Memory: the server's VmHWM (the kernel's record of its peak "
         "resident set)\n  may rise at most 16 MiB above its size at start "
         "in the optimised build.\n  The table holds at most 65,536 "
         "addresses, about 6.3 MiB with its index, and\n  one table is held "
         "at a time; a table without its bound (all 200,000\n  senders, "
         "some 18 MiB) or one leaked at every unload (4 MiB each) would\n  "
         "break it. Sanitizer builds allow 128 MiB for their shadow memory "
         "and\n  redzones, and ASan 36 MiB more for its quarantine of freed "
         "blocks, which the\n  soak caps at 32 MiB for the server.\n"
         "- The server's stderr carries no sanitizer report, and it exits 0 "
         "on `quit`.\n";
  return out.str();
}

}  // namespace qgsoak
