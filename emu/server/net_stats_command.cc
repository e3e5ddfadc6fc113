#include "emu/server/net_stats_command.h"

#include <inttypes.h>
#include <stdio.h>

void CNetStatsCommand::HandleCommand(const CCommandArgs &args) {
  m_pOutput->Print(FormatNetStats(m_pNet->Stats()).c_str());
}

std::string FormatNetStats(const NetStats &stats) {
  char szLine[256];
  snprintf(szLine, sizeof szLine,
           "net_stats: datagrams %" PRIu64 ", bytes %" PRIu64
           ", empty reads %" PRIu64 ", pings answered %" PRIu64
           ", dropped %" PRIu64 ", ticks %" PRIu64 "\n",
           stats.m_nDatagrams, stats.m_nBytes, stats.m_nEmptyReads,
           stats.m_nPingsAnswered, stats.m_nDropped, stats.m_nTicks);
  return szLine;
}
