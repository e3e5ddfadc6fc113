// The plugin host's hook service.  (Placeholder: refuses every hook until
// the service proper lands.)
#ifndef QUELLGATE_EMU_HOST_HOOK_SERVICE_H_
#define QUELLGATE_EMU_HOST_HOOK_SERVICE_H_

#include "host/ISourceHook.h"

class CHookService : public SourceHook::ISourceHook {
 public:
  CHookService() = default;
  ~CHookService();
  CHookService(const CHookService &) = delete;
  CHookService &operator=(const CHookService &) = delete;

  int GetIfaceVersion() override;
  int GetImplVersion() override;
  int AddHook(SourceHook::Plugin plug, SourceHook::AddHookMode mode,
              void *iface, int thisptr_offs,
              SourceHook::HookManagerPubFunc myHookMan,
              SourceHook::ISHDelegate *handler, bool post) override;
  bool RemoveHook(SourceHook::Plugin plug, void *iface, int thisptr_offs,
                  SourceHook::HookManagerPubFunc myHookMan,
                  SourceHook::ISHDelegate *handler, bool post) override;
  SourceHook::IHookContext *SetupHookLoop(
      SourceHook::IHookManagerInfo *hi, void *vfnptr, void *thisptr,
      void **origCallAddr, SourceHook::META_RES *statusPtr,
      SourceHook::META_RES *prevResPtr, SourceHook::META_RES *curResPtr,
      const void *origRetPtr, void *overrideRetPtr) override;
  void EndContext(SourceHook::IHookContext *ctx) override;

  // Drops every hook that `plug` left, as the host does when it unloads it.
  void RemovePluginHooks(SourceHook::Plugin plug);
};

#endif  // QUELLGATE_EMU_HOST_HOOK_SERVICE_H_
