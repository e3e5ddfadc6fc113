// The command line of qgate-server.
#ifndef QUELLGATE_EMU_SERVER_SERVER_OPTIONS_H_
#define QUELLGATE_EMU_SERVER_SERVER_OPTIONS_H_

#include <stdint.h>

#include <string>

struct ServerOptions {
  std::string m_strBind = "127.0.0.1";  // IPv4 address to bind
  int m_nPort = 27015;                   // 0: the system picks a free port
  std::string m_strPlugin;               // empty: quellgate_mm.so beside us
  bool m_bNoPlugin = false;
  double m_flTickRate = 66.0;            // ticks per second
  bool m_bNetThread = false;             // receive on a thread of its own
  bool m_bHelp = false;
};

// Parses argv (argv[0] is skipped).  Options take their value as the next
// argument or after '='.  On a bad option answers false and says why in
// `*pError`.
bool ParseServerOptions(int argc, char **argv, ServerOptions *pOptions,
                        std::string *pError);

// The --help text.
const char *ServerUsage();

// The plugin path used when --plugin is not given: quellgate_mm.so in the
// folder of the running executable.  Empty if that folder is unknown.
std::string DefaultPluginPath();

#endif  // QUELLGATE_EMU_SERVER_SERVER_OPTIONS_H_
