// qgate-server: the emulated dedicated server.  It binds its UDP socket,
// loads the plugin through the plugin host, prints one line
// "listening on ADDR:PORT" with the real port, and then ticks: drain the
// socket, run the console lines waiting on stdin, sleep to the next tick.
// With --net-thread the socket is drained on a network thread instead (see
// net_thread.h) and the ticks only run the console.  End of input, `quit`,
// SIGINT and SIGTERM unload the plugin and exit 0.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console/concommandbase.h"
#include "emu/console/console_service.h"
#include "emu/console/engine_commands.h"
#include "emu/host/console_output.h"
#include "emu/host/meta_command.h"
#include "emu/host/plugin_host.h"
#include "emu/server/line_reader.h"
#include "emu/server/net_receiver.h"
#include "emu/server/net_stats_command.h"
#include "emu/server/net_thread.h"
#include "emu/server/server_options.h"

namespace {

// SIGINT and SIGTERM stay blocked in every thread and are taken
// synchronously where the main thread sleeps to its next tick: no handler
// runs at an awkward moment, and none can be left pending in a thread that
// never looks (as a sanitizer's deferred delivery would leave it).
void BlockStopSignals(sigset_t *pStopSignals) {
  sigemptyset(pStopSignals);
  sigaddset(pStopSignals, SIGINT);
  sigaddset(pStopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, pStopSignals, nullptr);
  // A console reader that went away must not kill the server mid-unload.
  signal(SIGPIPE, SIG_IGN);
}

void AddNanoseconds(timespec *pTime, long long nNanoseconds) {
  long long nTotal = pTime->tv_nsec + nNanoseconds;
  pTime->tv_sec += static_cast<time_t>(nTotal / 1000000000LL);
  pTime->tv_nsec = static_cast<long>(nTotal % 1000000000LL);
}

bool IsBefore(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits until `deadline` on the monotonic clock, or until one of
// `stopSignals` arrives; answers true for a signal.  A deadline already
// passed still takes a signal that is pending.
bool SleepUntilStopSignal(const sigset_t &stopSignals, const timespec &deadline) {
  for (;;) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left = {0, 0};
    if (IsBefore(now, deadline)) {
      left.tv_sec = deadline.tv_sec - now.tv_sec;
      left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
      if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
      }
    }
    if (sigtimedwait(&stopSignals, nullptr, &left) > 0) return true;
    if (errno != EINTR) return false;  // EAGAIN: the deadline came
  }
}

}  // namespace

int main(int argc, char **argv) {
  ServerOptions options;
  std::string strError;
  if (!ParseServerOptions(argc, argv, &options, &strError)) {
    fprintf(stderr, "qgate-server: %s\n%s", strError.c_str(), ServerUsage());
    return 2;
  }
  if (options.m_bHelp) {
    fputs(ServerUsage(), stdout);
    return 0;
  }
  // Before any thread starts, so that every thread inherits the mask.
  sigset_t stopSignals;
  BlockStopSignals(&stopSignals);

  CStdioOutput output(stdout);
  CNetReceiver net;
  if (!net.Open(options.m_strBind.c_str(), options.m_nPort, &strError)) {
    fprintf(stderr, "qgate-server: %s\n", strError.c_str());
    return 1;
  }

  // The engine module's console: the service, and the engine's own commands
  // on its own copy of the console framework, registered through the
  // module's walk as any module registers.
  CConsoleService console(&output);
  g_pCVar = &console;
  CEngineCommands engineCommands(&console);
  CNetStatsCommand netStats(&output, &net);
  RegisterConsoleObjects(0, nullptr);

  CPluginHost host(&output, &console);
  // The host's own command; the module's walk has run, so it registers at
  // once.
  CMetaCommand metaCommand(&host);
  // With a network thread, the host parks it around every load and unload:
  // a plugin's library must not close under a receive that is inside it.
  CNetThread netThread(&net);
  if (options.m_bNetThread) host.SetQuiesce(&netThread);
  if (!options.m_bNoPlugin) {
    std::string strPlugin = options.m_strPlugin.empty() ? DefaultPluginPath()
                                                        : options.m_strPlugin;
    // A plugin that fails to load is reported by the host; the server runs
    // on without it, as a game server does.
    host.LoadPlugin(strPlugin.c_str(), false);
  }
  if (options.m_bNetThread && !netThread.Start(&strError)) {
    fprintf(stderr, "qgate-server: %s\n", strError.c_str());
    host.SetQuiesce(nullptr);
    host.UnloadAllPlugins();
    g_pCVar = nullptr;
    return 1;
  }

  char szListening[128];
  snprintf(szListening, sizeof szListening, "listening on %s:%d\n",
           options.m_strBind.c_str(), net.Port());
  output.Print(szListening);

  CLineReader input(STDIN_FILENO);
  const bool bInteractive = isatty(STDIN_FILENO) != 0;
  if (bInteractive) output.Print("] ");

  const long long nTickNanoseconds =
      static_cast<long long>(1e9 / options.m_flTickRate);
  timespec nextTick;
  clock_gettime(CLOCK_MONOTONIC, &nextTick);
  std::vector<std::string> lines;
  bool bStopSignal = false;
  while (!bStopSignal && !engineCommands.QuitRequested()) {
    if (!options.m_bNetThread) net.ReceiveTick();

    lines.clear();
    input.ReadWaitingLines(&lines);
    for (const std::string &strLine : lines) {
      console.ExecuteLine(strLine);
      fflush(stdout);
      if (engineCommands.QuitRequested()) break;
    }
    if (input.AtEnd()) {
      // Ctrl-D at a terminal leaves the cursor after the prompt.
      if (bInteractive) output.Print("\n");
      break;
    }
    if (bInteractive && !lines.empty() && !engineCommands.QuitRequested()) {
      output.Print("] ");
    }

    AddNanoseconds(&nextTick, nTickNanoseconds);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (IsBefore(nextTick, now)) {
      // Fallen behind (a long tick, a stopped process): start the count
      // again from now rather than run a burst of catch-up ticks.
      nextTick = now;
    }
    bStopSignal = SleepUntilStopSignal(stopSignals, nextTick);
  }

  // Receives end before the plugins go: nothing runs their code any more.
  netThread.Stop();
  host.SetQuiesce(nullptr);
  host.UnloadAllPlugins();
  fflush(stdout);
  // The engine's objects go with this scope; the service must not be
  // reached through g_pCVar after it.
  g_pCVar = nullptr;
  return 0;
}
