// A free function's address travels in the object word; converting between
// function and object pointers is supported on every platform this library
// builds for (both are one machine word).
#include "hooks/bound_callback.h"

static_assert(sizeof(BoundCallback) == 2 * sizeof(void *),
              "a bound callback is two pointer-sized words");
static_assert(sizeof(FnConVarChangeHandler) == sizeof(void *),
              "a function address fits the object word");

void FreeFunctionInvoker(void *pReceiver, ConVar *var, const char *pOldValue,
                         float flOldValue) {
  FnConVarChangeHandler fn = reinterpret_cast<FnConVarChangeHandler>(pReceiver);
  fn(var, pOldValue, flOldValue);
}

BoundCallback BindFreeFunction(FnConVarChangeHandler fn) {
  BoundCallback callback;
  callback.m_pMethod = fn == nullptr ? nullptr : &FreeFunctionInvoker;
  callback.m_pObject = reinterpret_cast<void *>(fn);
  return callback;
}
