#include "plugin/controls.h"

#include <string.h>

#include <new>

#include "console/concommand.h"
#include "console/convar.h"
#include "hooks/bound_callback.h"
#include "hooks/change_broadcast_hook.h"
#include "plugin/attackers.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"

ConVar *g_pEnableVar = nullptr;

namespace {

// The engine console's bits 0x40, 0x100 and 0x2000: the version is shown to
// server browsers and cannot be changed from the console.
const int kVersionFlags = 0x2140;

}  // namespace

// The console objects live on the library's heap until the library goes.
// One that cannot be allocated is left out: the filter works without it,
// and nothing else refers to the version variable or the status command.
void CreateVersionAndStatus() {
  new (std::nothrow) ConVar("qgat_version", "1.0.0.0", kVersionFlags,
                            "Quellgate Version");
  new (std::nothrow) ConCommand("qgat_status", &StatusCommand, "", 0, nullptr);
}

void CreateSwitchAndRegister(IConCommandBaseAccessor *pAccessor) {
  // Its default agrees with the filter that Load switched on; building it
  // broadcasts no change.
  g_pEnableVar = new (std::nothrow) ConVar(
      "qgat_enable", "1", 0,
      "   1 = Enable Quellgate (default), 0 = Disable Quellgate");
  AddChangeBroadcastHook(g_pEngineCvar, 0, false,
                         BindFreeFunction(&OnConVarChange));
  RegisterConsoleObjects(0, pAccessor);
}

void DetachChangeHandler() {
  // A fresh binding equals the attached one word for word, which is what
  // the hook service matches on.
  RemoveChangeBroadcastHook(g_pEngineCvar, false,
                            BindFreeFunction(&OnConVarChange));
}

void OnConVarChange(ConVar *var, const char *pOldValue, float flOldValue) {
  if (var == nullptr || var != g_pEnableVar) return;
  if (strcmp(var->GetString(), pOldValue) == 0) return;
  if (var->GetInt() == 1) {
    EnableFilter();
  } else {
    DisableFilter();
  }
}
