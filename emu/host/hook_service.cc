// Placeholder hook service: every add is refused, and the delegate handed
// over is freed at once, since the service owns it from the call on.
#include "emu/host/hook_service.h"

CHookService::~CHookService() {}
int CHookService::GetIfaceVersion() { return SourceHook::SH_IFACE_VERSION; }
int CHookService::GetImplVersion() { return SourceHook::SH_IMPL_VERSION; }

int CHookService::AddHook(SourceHook::Plugin, SourceHook::AddHookMode, void *,
                          int, SourceHook::HookManagerPubFunc,
                          SourceHook::ISHDelegate *handler, bool) {
  if (handler != nullptr) handler->DeleteThis();
  return 0;
}

bool CHookService::RemoveHook(SourceHook::Plugin, void *, int,
                              SourceHook::HookManagerPubFunc,
                              SourceHook::ISHDelegate *, bool) {
  return false;
}

SourceHook::IHookContext *CHookService::SetupHookLoop(
    SourceHook::IHookManagerInfo *, void *, void *, void **,
    SourceHook::META_RES *, SourceHook::META_RES *, SourceHook::META_RES *,
    const void *, void *) {
  return nullptr;
}

void CHookService::EndContext(SourceHook::IHookContext *) {}
void CHookService::RemovePluginHooks(SourceHook::Plugin) {}
