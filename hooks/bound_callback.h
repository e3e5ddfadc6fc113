// A callable of two pointer-sized words that carries a console-variable
// change handler to the hook service: an object word and a method word.
// It is a plain value: copied word for word, compared word for word, and
// it owns nothing.
//
// Invoking it calls the method word with the object word as its receiver,
// followed by the three arguments of the console service's change
// broadcast.  With GCC on x86 (x86-64 SysV and i386 cdecl) a member
// operation is entered exactly like a free function whose first argument is
// the receiver, so the method word is kept as such a function.
#ifndef QUELLGATE_HOOKS_BOUND_CALLBACK_H_
#define QUELLGATE_HOOKS_BOUND_CALLBACK_H_

class ConVar;

// A change handler: the variable, its old value as text and as a float.
typedef void (*FnConVarChangeHandler)(ConVar *var, const char *pOldValue,
                                      float flOldValue);

struct BoundCallback {
  // A member operation as entered by the machine: receiver first.
  typedef void (*FnMethod)(void *pReceiver, ConVar *var, const char *pOldValue,
                           float flOldValue);

  void *m_pObject = nullptr;     // the receiver (a free function's address)
  FnMethod m_pMethod = nullptr;  // called with m_pObject as receiver

  bool IsEmpty() const { return m_pObject == nullptr && m_pMethod == nullptr; }

  // Calls m_pMethod(m_pObject, ...) with the arguments unchanged.  Must not
  // be called on an empty value.
  void operator()(ConVar *var, const char *pOldValue, float flOldValue) const {
    m_pMethod(m_pObject, var, pOldValue, flOldValue);
  }
};

inline bool operator==(const BoundCallback &a, const BoundCallback &b) {
  return a.m_pObject == b.m_pObject && a.m_pMethod == b.m_pMethod;
}
inline bool operator!=(const BoundCallback &a, const BoundCallback &b) {
  return !(a == b);
}

// The method word of a free-function binding: its receiver is the free
// function's address, which it calls with the three arguments.
void FreeFunctionInvoker(void *pReceiver, ConVar *var, const char *pOldValue,
                         float flOldValue);

// Binds a free function: the object word is `fn`, the method word
// FreeFunctionInvoker.  A null `fn` gives the empty value.  Two bindings of
// the same function are equal, which is how a removal finds the handler
// that an add attached.
BoundCallback BindFreeFunction(FnConVarChangeHandler fn);

#endif  // QUELLGATE_HOOKS_BOUND_CALLBACK_H_
