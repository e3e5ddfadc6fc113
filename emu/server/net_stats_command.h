// The engine's net_stats console command: prints the receive loop's
// counters on one line.
#ifndef QUELLGATE_EMU_SERVER_NET_STATS_COMMAND_H_
#define QUELLGATE_EMU_SERVER_NET_STATS_COMMAND_H_

#include <string>

#include "console/concommand.h"
#include "emu/host/console_output.h"
#include "emu/server/net_receiver.h"

// The report:
// net_stats: datagrams N, bytes N, empty reads N, pings answered N,
// dropped N, ticks N
std::string FormatNetStats(const NetStats &stats);

class CNetStatsCommand : public ICommandHandler {
 public:
  // Both must outlive the command.  Registered like every console object of
  // the engine module (see engine_commands.h).
  CNetStatsCommand(IConsoleOutput *pOutput, const CNetReceiver *pNet)
      : m_pOutput(pOutput), m_pNet(pNet) {}

  void HandleCommand(const CCommandArgs &args) override;

 private:
  IConsoleOutput *m_pOutput;
  const CNetReceiver *m_pNet;
  ConCommand m_Command{"net_stats", this,
                       "Prints the network counters: datagrams, bytes, empty "
                       "reads, pings answered, dropped, ticks"};
};

#endif  // QUELLGATE_EMU_SERVER_NET_STATS_COMMAND_H_
