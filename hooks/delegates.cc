// The delegate keeps no resources besides its own memory, so ending it is
// giving that memory back to the heap it came from: DeleteThis runs in this
// library, so the library's own heap takes it back whichever module asks.
#include "hooks/change_broadcast_hook.h"

typedef __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse HookClass;

bool HookClass::CMyDelegateImpl::IsEqual(SourceHook::ISHDelegate *other) {
  return m_Handler == static_cast<CMyDelegateImpl *>(other)->m_Handler;
}

void HookClass::CMyDelegateImpl::DeleteThis() { delete this; }

void HookClass::CMyDelegateImpl::Call(ConVar *var, const char *pOldValue,
                                      float flOldValue) {
  m_Handler(var, pOldValue, flOldValue);
}
