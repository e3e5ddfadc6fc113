// The plugin host's hook service: puts a hook manager's hook function into
// the virtual table of a hooked object and runs the handlers (delegates)
// that plugins attach, around the object's own operation.
//
// Contract, beyond ISourceHook's:
//  - Hook managers.  On the first hook through a manager function the
//    service calls it with store true and a manager-info object, and takes
//    the table position, slot and hook function from its SetInfo.  A
//    manager that refuses (non-zero) or describes nothing usable gets no
//    hook.  When the manager's last hook goes, the service calls it with
//    store true and a null info.
//  - Tables.  Objects of one class share one virtual table, so the service
//    patches per table entry: the first hook on any object whose table entry
//    is not yet patched writes the hook function there (the page is made
//    writable for the one store and its protection restored), and the last
//    hook on that entry writes the original back.  A hook loop hands out
//    only the handlers registered for the receiving object; other objects
//    of the class reach their own operation with no handlers.
//  - Delegates.  The service owns every delegate given to AddHook, refused
//    ones included, and ends each exactly once with DeleteThis.  RemoveHook
//    matches by the plugin, the object, pre/post and IsEqual, and keeps no
//    reference to the delegate it is given.  A delegate removed while a hook
//    loop runs is no longer handed out and is ended when the outermost loop
//    ends, so a handler may remove itself or others.
//  - Hook loops nest: a handler may cause another hooked call.  SetResult
//    and the readers below act on the innermost running loop.
//
// Single-threaded: all operations, and every hooked call, on one thread.
#ifndef QUELLGATE_EMU_HOST_HOOK_SERVICE_H_
#define QUELLGATE_EMU_HOST_HOOK_SERVICE_H_

#include <stddef.h>

#include <memory>
#include <vector>

#include "host/ISourceHook.h"

class CHookService : public SourceHook::ISourceHook {
 public:
  CHookService();
  // Drops every hook: tables restored, managers told, delegates ended.
  ~CHookService();
  CHookService(const CHookService &) = delete;
  CHookService &operator=(const CHookService &) = delete;

  // Both 5.
  int GetIfaceVersion() override;
  int GetImplVersion() override;
  // Answers a positive hook id, or 0 (delegate ended) when the mode is not
  // Hook_Normal, the object is null, the manager refuses, or the table
  // cannot be written.
  int AddHook(SourceHook::Plugin plug, SourceHook::AddHookMode mode,
              void *iface, int thisptr_offs,
              SourceHook::HookManagerPubFunc myHookMan,
              SourceHook::ISHDelegate *handler, bool post) override;
  bool RemoveHook(SourceHook::Plugin plug, void *iface, int thisptr_offs,
                  SourceHook::HookManagerPubFunc myHookMan,
                  SourceHook::ISHDelegate *handler, bool post) override;
  // Always answers a context.  The original operation lands in
  // `*origCallAddr`; for an entry that the service never patched through
  // `hi` it is null, the context hands out no handlers and ShouldCallOrig
  // answers false.
  SourceHook::IHookContext *SetupHookLoop(
      SourceHook::IHookManagerInfo *hi, void *vfnptr, void *thisptr,
      void **origCallAddr, SourceHook::META_RES *statusPtr,
      SourceHook::META_RES *prevResPtr, SourceHook::META_RES *curResPtr,
      const void *origRetPtr, void *overrideRetPtr) override;
  void EndContext(SourceHook::IHookContext *ctx) override;

  // Drops every hook that `plug` left, as the host does when it unloads it.
  void RemovePluginHooks(SourceHook::Plugin plug);

  // For handlers, while their hook loop runs.  SetResult writes the
  // current-result word of the innermost loop (the handler's result);
  // false when no loop runs.  The readers answer MRES_IGNORED then.
  bool SetResult(SourceHook::META_RES result);
  SourceHook::META_RES GetStatus() const;
  SourceHook::META_RES GetPrevResult() const;

  // Hooks attached and not yet removed.
  size_t CountHooks() const;

 private:
  struct Hook;
  struct Patch;
  class CManager;
  class CContext;

  CManager *FindManager(SourceHook::HookManagerPubFunc pfn) const;
  CManager *FindManager(SourceHook::IHookManagerInfo *hi) const;
  // Takes hook `index` off `manager`; restores the table entry when it was
  // the entry's last hook and lets go of the manager when it was its last.
  void Detach(CManager *manager, size_t index);
  void Unpatch(CManager *manager, size_t patchIndex);
  void RetireManager(CManager *manager);
  // Ends retired delegates and managers once no hook loop runs.
  void Collect();

  std::vector<std::unique_ptr<CManager>> m_Managers;
  std::vector<std::unique_ptr<CContext>> m_Contexts;  // innermost last
  std::vector<std::unique_ptr<Hook>> m_RetiredHooks;
  std::vector<std::unique_ptr<CManager>> m_RetiredManagers;
  int m_nNextHookId;
};

#endif  // QUELLGATE_EMU_HOST_HOOK_SERVICE_H_
