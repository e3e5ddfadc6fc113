// A capture host and a scripted receive entry for driving the plugin core
// in-process: the host records everything printed, and the receive entry
// answers whatever the test scripts, with the sender it names.
#ifndef QUELLGATE_TESTS_PLUGIN_FIXTURE_H_
#define QUELLGATE_TESTS_PLUGIN_FIXTURE_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "host/ISmmAPI.h"
#include "host/ISourceHook.h"
#include "host/tier0.h"
#include "tests/console_test_cvar.h"

class CaptureHost : public SourceMM::ISmmAPI {
 public:
  void *m_pHookService = nullptr;
  void *m_pConsoleService = nullptr;
  std::string m_Output;
  int m_nRegistrations = 0;

  void *MetaFactory(const char *iface, int *ret, SourceMM::PluginId *id) override {
    return strcmp(iface, "ISourceHook") == 0 ? m_pHookService : nullptr;
  }
  CreateInterfaceFn GetEngineFactory(bool syn) override { return &EngineFactory; }
  void *VInterfaceMatch(CreateInterfaceFn fn, const char *iface, int min) override {
    if (fn != &EngineFactory || strcmp(iface, "VEngineCvar007") != 0) return nullptr;
    return m_pConsoleService;
  }
  size_t Format(char *buffer, size_t maxlength, const char *fmt, ...) override {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buffer, maxlength, fmt, ap);
    va_end(ap);
    return n < 0 ? 0 : static_cast<size_t>(n);
  }
  bool RegisterConCommandBase(SourceMM::ISmmPlugin *plugin,
                              ConCommandBase *pCommand) override {
    ++m_nRegistrations;
    return true;
  }
  void ConPrint(const char *str) override { m_Output += str; }
  void ConPrintf(const char *fmt, ...) override {
    char buffer[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buffer, sizeof buffer, fmt, ap);
    va_end(ap);
    m_Output += buffer;
  }

  // Answers the output since the last call.
  std::string TakeOutput() {
    std::string out;
    out.swap(m_Output);
    return out;
  }

 private:
  static void *EngineFactory(const char *, int *) { return nullptr; }
};

// A hook service that refuses every hook, as a host without hooks would.
class RefusingHookService : public SourceHook::ISourceHook {
 public:
  int GetIfaceVersion() override { return SourceHook::SH_IFACE_VERSION; }
  int GetImplVersion() override { return SourceHook::SH_IMPL_VERSION; }
  int AddHook(SourceHook::Plugin, SourceHook::AddHookMode, void *, int,
              SourceHook::HookManagerPubFunc,
              SourceHook::ISHDelegate *handler, bool) override {
    handler->DeleteThis();
    return 0;
  }
  bool RemoveHook(SourceHook::Plugin, void *, int,
                  SourceHook::HookManagerPubFunc, SourceHook::ISHDelegate *,
                  bool) override {
    return false;
  }
  SourceHook::IHookContext *SetupHookLoop(
      SourceHook::IHookManagerInfo *, void *, void *, void **,
      SourceHook::META_RES *, SourceHook::META_RES *, SourceHook::META_RES *,
      const void *, void *) override {
    return nullptr;
  }
  void EndContext(SourceHook::IHookContext *) override {}
};

// What the scripted receive entry answers next, and from whom.
struct ScriptedReceive {
  int m_nResult = 0;
  sockaddr_in m_Sender{};
  int m_nCalls = 0;
  char *m_pLastBuf = nullptr;
};

inline ScriptedReceive g_Scripted;

inline int ScriptedRecvFrom(int s, char *buf, int len, int flags,
                            struct sockaddr *from, int *fromlen) {
  ++g_Scripted.m_nCalls;
  g_Scripted.m_pLastBuf = buf;
  if (from != nullptr && fromlen != nullptr) {
    // As the kernel does: copy what fits, report the full length.
    size_t n = sizeof g_Scripted.m_Sender;
    if (*fromlen >= 0 && static_cast<size_t>(*fromlen) < n) n = *fromlen;
    memcpy(from, &g_Scripted.m_Sender, n);
    *fromlen = sizeof g_Scripted.m_Sender;
  }
  return g_Scripted.m_nResult;
}

inline void ScriptSender(const char *pszAddress, int nResult) {
  g_Scripted.m_nResult = nResult;
  g_Scripted.m_Sender.sin_family = AF_INET;
  inet_pton(AF_INET, pszAddress, &g_Scripted.m_Sender.sin_addr);
}

#endif  // QUELLGATE_TESTS_PLUGIN_FIXTURE_H_
