// The host's and engine's services as Load saved them.  Plain module-wide
// variables: null until Load, written only by Load, never reset (a call
// still running on another thread after Unload sees valid objects).
#ifndef QUELLGATE_PLUGIN_HOST_HANDLES_H_
#define QUELLGATE_PLUGIN_HOST_HANDLES_H_

#include "host/ICvar.h"
#include "host/ISmmAPI.h"
#include "host/ISmmPlugin.h"
#include "host/ISourceHook.h"

extern SourceMM::ISmmAPI *g_pHostApi;
extern SourceHook::ISourceHook *g_pHookService;
extern SourceMM::ISmmPlugin *g_pPlugin;
extern SourceMM::PluginId g_PluginId;
extern ICvar *g_pEngineCvar;

#endif  // QUELLGATE_PLUGIN_HOST_HANDLES_H_
