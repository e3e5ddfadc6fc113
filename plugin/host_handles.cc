#include "plugin/host_handles.h"

SourceMM::ISmmAPI *g_pHostApi = nullptr;
SourceHook::ISourceHook *g_pHookService = nullptr;
SourceMM::ISmmPlugin *g_pPlugin = nullptr;
SourceMM::PluginId g_PluginId = 0;
ICvar *g_pEngineCvar = nullptr;
