// The hook function finds the hooked table entry from s_HookedSlot, which
// the hook service had refreshed through HookManagerEntry before it put the
// hook function in place.  Handlers report through the current-result word
// that the service writes while their Call runs; the status only rises.
#include "hooks/change_broadcast_hook.h"

#include <new>

#include "host/ICvar.h"
#include "host/platform.h"
#include "plugin/host_handles.h"

typedef __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse HookClass;

namespace {

using SourceHook::META_RES;
using SourceHook::PassInfo;

// The service's own CallGlobalChangeCallbacks as the machine enters a
// member operation: receiver first (x86-64 SysV and i386 cdecl alike).
typedef void (*FnChangeBroadcast)(void *pReceiver, ConVar *var,
                                  const char *pOldValue, float flOldValue);

// The version of the manager-info description that SetInfo receives.
constexpr int kHookManagerVersion = 1;

// The starting values of a record that a decode must overwrite in full.
MethodSlotInfo UndecodedSlotInfo() {
  MethodSlotInfo info;
  info.valid = true;
  info.thisOffset = -1;
  info.slotIndex = 0;
  info.tableOffset = 0;
  return info;
}

void ReadHookedSlot(MethodSlotInfo *slotInfo) {
  GetMemberSlotInfo(&ICvar::CallGlobalChangeCallbacks, slotInfo);
}

// Entry 0 precedes the parameters; entries 1 to 3 are the parameters, each
// passed by value with its own size (4 bytes each on i386).
const PassInfo kParamPassInfo[4] = {
    {1, 0, 0},
    {static_cast<int32_t>(sizeof(ConVar *)), 0, 1},
    {static_cast<int32_t>(sizeof(const char *)), 0, 1},
    {static_cast<int32_t>(sizeof(float)), 0, 1},
};
const PassInfo::V2Info kParamPassInfo2[4] = {};

// Runs the handlers that the context hands out until it gives null.
void RunHandlers(SourceHook::IHookContext *context, ConVar *var,
                 const char *pOldValue, float flOldValue, META_RES *status,
                 META_RES *prevRes, META_RES *curRes) {
  *prevRes = SourceHook::MRES_IGNORED;
  while (SourceHook::ISHDelegate *next = context->GetNext()) {
    *curRes = SourceHook::MRES_IGNORED;
    static_cast<HookClass::IMyDelegate *>(next)->Call(var, pOldValue,
                                                      flOldValue);
    *prevRes = *curRes;
    if (*curRes > *status) *status = *curRes;
  }
}

}  // namespace

// Constant-initialised (its table pointer only); the priority keeps it in
// the library's documented start-up order should that ever change.
HookClass HookClass::s_Instance QG_INIT_HOOK_DECLARATION;
SourceHook::IHookManagerInfo *HookClass::s_pManagerInfo = nullptr;
MethodSlotInfo HookClass::s_HookedSlot = {false, 0, 0, 0};
const SourceHook::ProtoInfo HookClass::s_Proto = {
    3,                                     // three parameters
    {0, 0, 0},                             // no result
    kParamPassInfo,                        // passed by value
    0,                                     // a member operation
    {nullptr, nullptr, nullptr, nullptr},  // nothing to construct
    kParamPassInfo2,                       // nothing to construct
};

int HookClass::HookManagerEntry(bool store,
                                SourceHook::IHookManagerInfo *info) {
  ReadHookedSlot(&s_HookedSlot);
  if (g_pHookService->GetIfaceVersion() != SourceHook::SH_IFACE_VERSION) {
    return 1;
  }
  if (g_pHookService->GetImplVersion() < SourceHook::SH_IMPL_VERSION) {
    return 1;
  }
  if (store) s_pManagerInfo = info;
  if (info == nullptr) return 0;

  MethodSlotInfo hookFuncSlot = UndecodedSlotInfo();
  GetMemberSlotInfo(&HookClass::HookFunc, &hookFuncSlot);
  void **table = *reinterpret_cast<void ***>(
      reinterpret_cast<char *>(&s_Instance) + hookFuncSlot.tableOffset);
  // The service only reads the prototype; it stays in read-only memory so
  // that a stray write faults instead of changing it.
  info->SetInfo(kHookManagerVersion, s_HookedSlot.tableOffset,
                s_HookedSlot.slotIndex,
                const_cast<SourceHook::ProtoInfo *>(&s_Proto),
                table + hookFuncSlot.slotIndex);
  return 0;
}

void HookClass::HookFunc(ConVar *var, const char *pOldValue, float flOldValue) {
  // `this` is the hooked object; nothing of this class is touched.
  void *receiver = this;
  void **table = *reinterpret_cast<void ***>(static_cast<char *>(receiver) +
                                             s_HookedSlot.tableOffset);
  void *entry = table + s_HookedSlot.slotIndex;

  META_RES status = SourceHook::MRES_IGNORED;
  META_RES prevRes = SourceHook::MRES_IGNORED;
  META_RES curRes = SourceHook::MRES_IGNORED;
  void *original = nullptr;
  SourceHook::IHookContext *context = g_pHookService->SetupHookLoop(
      s_pManagerInfo, entry, receiver, &original, &status, &prevRes, &curRes,
      nullptr, nullptr);

  RunHandlers(context, var, pOldValue, flOldValue, &status, &prevRes, &curRes);
  if (status != SourceHook::MRES_SUPERCEDE && context->ShouldCallOrig()) {
    reinterpret_cast<FnChangeBroadcast>(original)(receiver, var, pOldValue,
                                                  flOldValue);
  }
  RunHandlers(context, var, pOldValue, flOldValue, &status, &prevRes, &curRes);
  g_pHookService->EndContext(context);
}

int32_t AddChangeBroadcastHook(void *service, int mode, bool post,
                               BoundCallback handler) {
  MethodSlotInfo slot = UndecodedSlotInfo();
  ReadHookedSlot(&slot);
  if (slot.thisOffset < 0 || !slot.valid) return 0;

  // An allocation failure attaches nothing, like an unreadable slot.
  HookClass::CMyDelegateImpl *delegate =
      new (std::nothrow) HookClass::CMyDelegateImpl(handler);
  if (delegate == nullptr) return 0;
  return g_pHookService->AddHook(
      g_PluginId, static_cast<SourceHook::AddHookMode>(mode), service,
      slot.thisOffset, &HookClass::HookManagerEntry, delegate, post);
}

bool RemoveChangeBroadcastHook(void *service, bool post,
                               BoundCallback handler) {
  MethodSlotInfo slot = UndecodedSlotInfo();
  ReadHookedSlot(&slot);
  HookClass::CMyDelegateImpl probe(handler);
  return g_pHookService->RemoveHook(g_PluginId, service, slot.thisOffset,
                                    &HookClass::HookManagerEntry, &probe, post);
}
