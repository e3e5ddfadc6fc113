// The hook on the console service's change broadcast
// (ICvar::CallGlobalChangeCallbacks), through the host's hook service.
//
// The hook declaration class below is what the hook service needs for this
// one operation: its hook function runs in place of the operation in the
// hooked object's virtual table, and its hook-manager entry describes the
// operation and the hook function to the service.  The delegates nested in
// it carry a plugin handler (a BoundCallback) to the service.
//
// The hook service is g_pHookService and the plugin id g_PluginId, as Load
// saved them.  Everything here is called one call at a time, on the thread
// that loads the plugin or changes console variables.
#ifndef QUELLGATE_HOOKS_CHANGE_BROADCAST_HOOK_H_
#define QUELLGATE_HOOKS_CHANGE_BROADCAST_HOOK_H_

#include <stdint.h>

#include "hooks/bound_callback.h"
#include "hooks/method_slot.h"
#include "host/ISourceHook.h"

class ConVar;

class __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse {
 public:
  // A handler with the hooked operation's parameters.  The order of the
  // virtual operations (IsEqual, DeleteThis, Call) is the contract with the
  // hook service and the hook function.
  class IMyDelegate : public SourceHook::ISHDelegate {
   public:
    virtual void Call(ConVar *var, const char *pOldValue, float flOldValue) = 0;
  };

  // A delegate that holds one BoundCallback.  Made on the library's heap by
  // AddChangeBroadcastHook (the hook service then owns it and ends it with
  // DeleteThis) or in automatic storage by RemoveChangeBroadcastHook (only
  // compared, never ended).
  class CMyDelegateImpl final : public IMyDelegate {
   public:
    explicit CMyDelegateImpl(BoundCallback handler) : m_Handler(handler) {}

    // `other` must be a CMyDelegateImpl: the hook service compares only
    // delegates of the same hook manager.  Equal when the callbacks are.
    bool IsEqual(SourceHook::ISHDelegate *other) override;
    // Gives the object back to the library's heap; nothing else.
    void DeleteThis() override;
    // Invokes the callback with the arguments unchanged.
    void Call(ConVar *var, const char *pOldValue, float flOldValue) override;

    const BoundCallback &handler() const { return m_Handler; }

   private:
    BoundCallback m_Handler;
  };

  // Runs in place of the hooked operation; the receiver (`this`) is the
  // hooked console service object, not an object of this class.  Runs the
  // pre-handlers, the service's own operation unless a handler superseded
  // it or the hook service says no, then the post-handlers.
  virtual void HookFunc(ConVar *var, const char *pOldValue, float flOldValue);

  // The hook-manager entry (a SourceHook::HookManagerPubFunc).  Refreshes
  // s_HookedSlot; answers 1 when the hook service's interface version is
  // not 5 or its implementation version is below 5.  Otherwise stores
  // `info` in s_pManagerInfo when `store` is true (null included) and, for
  // a non-null `info`, describes the hook through SetInfo; answers 0.
  static int HookManagerEntry(bool store, SourceHook::IHookManagerInfo *info);

  // The one object of the class; only its table is used.
  static __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse s_Instance;
  // The hook service's manager-info object for this hook, or null.
  static SourceHook::IHookManagerInfo *s_pManagerInfo;
  // Slot of CallGlobalChangeCallbacks in the console service's table.
  static MethodSlotInfo s_HookedSlot;
  // Prototype of the hooked operation: three parameters passed by value,
  // no result, member convention.
  static const SourceHook::ProtoInfo s_Proto;
};

// Attaches `handler` to CallGlobalChangeCallbacks of the console service
// object `service` (a pre-hook when `post` is false).  Answers the hook
// service's AddHook result, or 0 without calling it when the hooked
// operation's slot cannot be read or the delegate cannot be allocated.
int32_t AddChangeBroadcastHook(void *service, int mode, bool post,
                               BoundCallback handler);

// Detaches the handler equal to `handler`; answers RemoveHook's result.
bool RemoveChangeBroadcastHook(void *service, bool post, BoundCallback handler);

#endif  // QUELLGATE_HOOKS_CHANGE_BROADCAST_HOOK_H_
