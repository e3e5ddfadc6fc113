#include "plugin/quellgate.h"

#include "host/ICvar.h"
#include "host/ISmmAPI.h"
#include "host/platform.h"
#include "plugin/attackers.h"
#include "plugin/controls.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"

Quellgate g_Quellgate QG_INIT_PLUGIN;

namespace {

const char kLoadErrorFormat[] = "Could not find interface: %s";

// A failed load reports which interface was missing and takes the filter
// out again, so that the engine's receive entry is as it was.
bool FailLoad(SourceMM::ISmmAPI *ismm, char *error, size_t maxlength,
              const char *pszInterface) {
  if (error != nullptr && maxlength != 0) {
    ismm->Format(error, maxlength, kLoadErrorFormat, pszInterface);
  }
  DisableFilter();
  return false;
}

}  // namespace

bool Quellgate::Load(SourceMM::PluginId id, SourceMM::ISmmAPI *ismm,
                     char *error, size_t maxlength, bool late) {
  g_pHostApi = ismm;
  g_pHookService = static_cast<SourceHook::ISourceHook *>(
      ismm->MetaFactory("ISourceHook", nullptr, nullptr));
  g_pPlugin = this;
  g_PluginId = id;

  // The filter is live before any console object exists.
  EnableFilter();
  CreateVersionAndStatus();

  g_pEngineCvar = static_cast<ICvar *>(ismm->VInterfaceMatch(
      ismm->GetEngineFactory(true), CVAR_INTERFACE_VERSION, -1));
  if (g_pEngineCvar == nullptr) {
    return FailLoad(ismm, error, maxlength, CVAR_INTERFACE_VERSION);
  }
  // The switch variable is only heard of through the hook service; a host
  // without one would leave the plugin deaf and crash it at the first hook.
  if (g_pHookService == nullptr) {
    return FailLoad(ismm, error, maxlength, "ISourceHook");
  }
  g_pCVar = g_pEngineCvar;
  CreateSwitchAndRegister(this);
  return true;
}

bool Quellgate::Unload(char *error, size_t maxlength) {
  // Detached first: from here on no change of the switch variable can
  // switch the filter on again behind the next step.
  if (g_pHookService != nullptr) DetachChangeHandler();
  DisableFilter();
  ClearAttackers();
  return true;
}

const char *Quellgate::GetAuthor() { return "Quellgate developers"; }
const char *Quellgate::GetName() { return "Quellgate"; }
const char *Quellgate::GetDescription() {
  return "Prevent DoS attack cause server lag";
}
const char *Quellgate::GetURL() { return "https://quellgate.invalid/"; }
const char *Quellgate::GetLicense() { return "zlib"; }
const char *Quellgate::GetVersion() { return "1.0.0.0"; }
const char *Quellgate::GetDate() { return "Jan 29 2010"; }
const char *Quellgate::GetLogTag() { return "QGAT"; }

bool Quellgate::RegisterConCommandBase(ConCommandBase *pCommand) {
  g_pHostApi->RegisterConCommandBase(g_pPlugin, pCommand);
  return true;
}
