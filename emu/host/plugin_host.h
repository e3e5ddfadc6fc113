// The emulated plugin host.  It loads plugin libraries, drives them through
// ISmmPlugin, and is the API object (ISmmAPI) that every plugin it loads is
// handed.  Through that object a plugin reaches the server console, the
// engine's interface factory (which answers the console service), the hook
// service, and the registration of its console objects.
//
// The host remembers which plugin registered which console object, and when
// a plugin is unloaded (or fails to load) it withdraws that plugin's objects
// from the console service and drops its hooks: a plugin does neither
// itself.
//
// The host, its plugins' console objects and the console run on one thread.
// Another thread may be calling into a plugin's receive filter (the engine's
// network thread): give the host that thread's IQuiesce, and it parks the
// thread around every load and unload, so that a library is never opened or
// closed while a thread runs its code.
#ifndef QUELLGATE_EMU_HOST_PLUGIN_HOST_H_
#define QUELLGATE_EMU_HOST_PLUGIN_HOST_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "emu/host/console_output.h"
#include "emu/host/hook_service.h"
#include "emu/host/quiesce.h"
#include "host/ICvar.h"
#include "host/ISmmAPI.h"
#include "host/ISmmPlugin.h"

class CPluginHost : public SourceMM::ISmmAPI {
 public:
  // One loaded plugin, as the host keeps it.
  struct LoadedPlugin {
    SourceMM::PluginId m_Id;
    std::string m_strPath;
    void *m_pHandle;                    // from dlopen
    SourceMM::ISmmPlugin *m_pPlugin;    // from CreateInterface("ISmmPlugin")
    bool m_bLoaded;                     // Load has returned true
    // What the plugin registered through RegisterConCommandBase and the
    // console service accepted, in registration order.
    std::vector<ConCommandBase *> m_ConsoleObjects;
  };

  // `pOutput` receives the console output of the host and its plugins and
  // must outlive the host.  `pConsoleService` is the engine's console
  // service, answered for "VEngineCvar007"; null when the engine has none.
  CPluginHost(IConsoleOutput *pOutput, ICvar *pConsoleService);
  // Unloads every plugin, the newest first.
  ~CPluginHost();
  CPluginHost(const CPluginHost &) = delete;
  CPluginHost &operator=(const CPluginHost &) = delete;

  // Loads the plugin library at `pszPath` and runs its Load.  Answers the
  // new plugin's id (ids start at 1 and are never reused), or 0 when the
  // library cannot be opened, offers no plugin, is already loaded, or its
  // Load fails; the reason is printed to the console, and a library that
  // did not load is closed again.  The quiesce target (SetQuiesce) stays
  // parked from the opening of the library until Load has returned or the
  // library is closed again.
  SourceMM::PluginId LoadPlugin(const char *pszPath, bool bLate);

  // Where a plugin named `pszPath` is loaded from: a path with a '/' as it
  // stands, a bare file name from the folder of the running executable, as
  // a game server finds its modules beside itself.
  static std::string ResolvePluginPath(const char *pszPath);
  // Runs the plugin's Unload, withdraws its console objects and hooks and
  // closes its library, with the quiesce target parked throughout.  False
  // when no plugin has that id.
  bool UnloadPlugin(SourceMM::PluginId id);
  // Unloads every plugin, the newest first.
  void UnloadAllPlugins();

  // The thread to park around loads and unloads; null (the default) for
  // none.  It must outlive the host, or be set back to null first.
  void SetQuiesce(IQuiesce *pQuiesce) { m_pQuiesce = pQuiesce; }

  // The loaded plugins, in load order.
  const std::vector<std::unique_ptr<LoadedPlugin>> &Plugins() const {
    return m_Plugins;
  }
  const LoadedPlugin *FindPlugin(SourceMM::PluginId id) const;

  CHookService *HookService() { return &m_HookService; }
  ICvar *ConsoleService() const { return m_pConsoleService; }
  IConsoleOutput *Output() const { return m_pOutput; }

  // ISmmAPI.
  void *MetaFactory(const char *iface, int *ret,
                    SourceMM::PluginId *id) override;
  CreateInterfaceFn GetEngineFactory(bool syn) override;
  void *VInterfaceMatch(CreateInterfaceFn fn, const char *iface,
                        int min) override;
  size_t Format(char *buffer, size_t maxlength, const char *fmt, ...) override
      __attribute__((format(printf, 4, 5)));
  bool RegisterConCommandBase(SourceMM::ISmmPlugin *plugin,
                              ConCommandBase *pCommand) override;
  void ConPrint(const char *str) override;
  void ConPrintf(const char *fmt, ...) override
      __attribute__((format(printf, 2, 3)));

  // The engine's interface factory as the host hands it out: answers the
  // engine interfaces of the newest live host.
  static void *EngineFactory(const char *pszName, int *pReturnCode);

 private:
  void *FindEngineInterface(const char *pszName) const;
  bool IsHeldByConsoleService(ConCommandBase *pCommand) const;
  // Withdraws the plugin's console objects and hooks and closes its library.
  void ReleasePlugin(LoadedPlugin *pPlugin);

  IConsoleOutput *m_pOutput;
  ICvar *m_pConsoleService;
  IQuiesce *m_pQuiesce = nullptr;
  CHookService m_HookService;
  SourceMM::PluginId m_NextId = 1;
  std::vector<std::unique_ptr<LoadedPlugin>> m_Plugins;
};

#endif  // QUELLGATE_EMU_HOST_PLUGIN_HOST_H_
