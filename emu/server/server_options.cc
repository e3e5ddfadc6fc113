#include "emu/server/server_options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "emu/host/plugin_host.h"

namespace {

bool ParseInt(const std::string &strText, long nMin, long nMax, int *pValue) {
  if (strText.empty()) return false;
  char *pEnd = nullptr;
  errno = 0;
  long n = strtol(strText.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax) return false;
  *pValue = static_cast<int>(n);
  return true;
}

bool ParseRate(const std::string &strText, double *pValue) {
  if (strText.empty()) return false;
  char *pEnd = nullptr;
  errno = 0;
  double fl = strtod(strText.c_str(), &pEnd);
  // At most 10000 ticks a second: beyond that the loop only spins.
  if (errno != 0 || *pEnd != '\0' || !(fl > 0.0) || fl > 10000.0) return false;
  *pValue = fl;
  return true;
}

}  // namespace

bool ParseServerOptions(int argc, char **argv, ServerOptions *pOptions,
                        std::string *pError) {
  for (int i = 1; i < argc; ++i) {
    std::string strArg = argv[i];
    std::string strName = strArg;
    std::string strValue;
    bool bHasValue = false;
    size_t nEquals = strArg.find('=');
    if (strArg.compare(0, 2, "--") == 0 && nEquals != std::string::npos) {
      strName = strArg.substr(0, nEquals);
      strValue = strArg.substr(nEquals + 1);
      bHasValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (bHasValue) return true;
      if (i + 1 >= argc) {
        *pError = "option " + strName + " needs a value";
        return false;
      }
      strValue = argv[++i];
      return true;
    };

    if (strName == "--help" || strName == "-h") {
      pOptions->m_bHelp = true;
    } else if (strName == "--no-plugin") {
      pOptions->m_bNoPlugin = true;
    } else if (strName == "--net-thread") {
      pOptions->m_bNetThread = true;
    } else if (strName == "--port") {
      if (!takeValue()) return false;
      if (!ParseInt(strValue, 0, 65535, &pOptions->m_nPort)) {
        *pError = "bad --port " + strValue + " (0 to 65535)";
        return false;
      }
    } else if (strName == "--bind") {
      if (!takeValue()) return false;
      in_addr addr;
      if (inet_pton(AF_INET, strValue.c_str(), &addr) != 1) {
        *pError = "bad --bind " + strValue + " (an IPv4 address)";
        return false;
      }
      pOptions->m_strBind = strValue;
    } else if (strName == "--plugin") {
      if (!takeValue()) return false;
      if (strValue.empty()) {
        *pError = "--plugin needs a file";
        return false;
      }
      pOptions->m_strPlugin = strValue;
    } else if (strName == "--tickrate") {
      if (!takeValue()) return false;
      if (!ParseRate(strValue, &pOptions->m_flTickRate)) {
        *pError = "bad --tickrate " + strValue + " (above 0, at most 10000)";
        return false;
      }
    } else {
      *pError = "unknown option " + strArg;
      return false;
    }
  }
  return true;
}

const char *ServerUsage() {
  return "usage: qgate-server [options]\n"
         "  --port N        UDP port to listen on (default 27015; 0 picks a "
         "free one)\n"
         "  --bind ADDR     IPv4 address to bind (default 127.0.0.1)\n"
         "  --plugin PATH   plugin to load (default quellgate_mm.so beside "
         "this program)\n"
         "  --no-plugin     run without a plugin\n"
         "  --tickrate HZ   server ticks per second (default 66)\n"
         "  --net-thread    receive on a network thread of its own, as engines\n"
         "                  do in threaded-socket mode; the main thread runs\n"
         "                  the console and the ticks.  The thread drains the\n"
         "                  socket until a read yields 0 bytes or nothing,\n"
         "                  then waits until it is readable again.  Plugins\n"
         "                  are loaded and unloaded with the thread parked.\n"
         "  --help          show this text\n"
         "The console reads commands from stdin; end of input quits.\n";
}

std::string DefaultPluginPath() {
  return CPluginHost::ResolvePluginPath("quellgate_mm.so");
}
