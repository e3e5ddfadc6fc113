// The change-broadcast hook on the emulated engine's console service: a
// console variable's change reaches the plugin's pre-handler before the
// service's own broadcast, and the service's table is restored afterwards.
#include <string>
#include <vector>

#include "console/concommandbase.h"
#include "console/convar.h"
#include "emu/console/console_service.h"
#include "emu/host/console_output.h"
#include "emu/host/hook_service.h"
#include "gtest/gtest.h"
#include "hooks/bound_callback.h"
#include "hooks/change_broadcast_hook.h"
#include "plugin/host_handles.h"

namespace {

std::vector<std::string> g_Events;
ConVar *g_pProbe = nullptr;

void PreHandler(ConVar *var, const char *pOldValue, float flOldValue) {
  // The variable already holds its new value; the old one comes along.
  g_Events.push_back(std::string("pre:") + (var == g_pProbe ? "probe" : "?") +
                     ":" + pOldValue + "->" + var->GetString());
}

void ServiceCallback(IConVar *var, const char *pOldValue, float) {
  g_Events.push_back(std::string("broadcast:") + var->GetName() + ":" +
                     pOldValue);
}

TEST(HookServiceConsoleTest, ChangeReachesPreHandlerBeforeBroadcast) {
  CStringOutput output;
  CConsoleService console(&output);
  CHookService hooks;
  g_pHookService = &hooks;
  g_PluginId = 3;
  g_pCVar = &console;

  ConVar probe("qg_hook_probe", "0", 0, "hook service probe");
  g_pProbe = &probe;
  RegisterConsoleObjects(0, nullptr);
  ASSERT_EQ(&probe, console.FindVar("qg_hook_probe"));
  console.InstallGlobalChangeCallback(&ServiceCallback);

  void **entry = *reinterpret_cast<void ***>(static_cast<ICvar *>(&console)) +
                 10;
  void *original = *entry;
  ASSERT_NE(0, AddChangeBroadcastHook(&console, 0, false,
                                      BindFreeFunction(&PreHandler)));
  EXPECT_NE(original, *entry);

  probe.SetValue("1");
  console.ExecuteLine("qg_hook_probe 2");
  EXPECT_EQ((std::vector<std::string>{
                "pre:probe:0->1", "broadcast:qg_hook_probe:0",
                "pre:probe:1->2", "broadcast:qg_hook_probe:1"}),
            g_Events);

  EXPECT_TRUE(RemoveChangeBroadcastHook(&console, false,
                                        BindFreeFunction(&PreHandler)));
  EXPECT_EQ(original, *entry);
  g_Events.clear();
  probe.SetValue("3");
  EXPECT_EQ((std::vector<std::string>{"broadcast:qg_hook_probe:2"}),
            g_Events);

  console.UnregisterConCommand(&probe);
  g_pCVar = nullptr;
}

}  // namespace
