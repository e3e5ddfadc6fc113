// The plugin host's hook service.  It puts hook functions into virtual
// tables of engine objects and runs the handlers (delegates) that plugins
// attach.  Operations only, in the published order; the order is the
// contract between the service, the hook glue and the delegates.
#ifndef QUELLGATE_HOST_ISOURCEHOOK_H_
#define QUELLGATE_HOST_ISOURCEHOOK_H_

#include <stdint.h>

namespace SourceHook {

// The hook service's identifier for the plugin that owns a hook.
typedef int Plugin;

// How AddHook attaches: 0 hooks the one object passed.
enum AddHookMode { Hook_Normal = 0 };

// Handler results, held in signed 32-bit words.  A higher result is the
// stronger one; the status of a hook loop never goes down.
enum META_RES {
  MRES_IGNORED = 0,    // the handler did nothing
  MRES_HANDLED = 1,    // it did something; the original still runs
  MRES_OVERRIDE = 2,   // it overrides the result; the original still runs
  MRES_SUPERCEDE = 3,  // the original does not run
};

// How one value crosses the hooked call: three 32-bit words.
struct PassInfo {
  int32_t size;   // byte size of the value
  int32_t type;   // 0: a plain value
  int32_t flags;  // 1: passed by value

  // Extra description of a value that needs construction or copying;
  // all four words are null for plain values.
  struct V2Info {
    void *pNormalCtor;
    void *pCopyCtor;
    void *pDtor;
    void *pAssignOperator;
  };
};

// The prototype of a hooked operation, as the hook service reads it.
struct ProtoInfo {
  int32_t numOfParams;
  PassInfo retPassInfo;
  const PassInfo *paramsPassInfo;  // entry 0 precedes the parameters
  int32_t convention;              // 0: a member operation
  PassInfo::V2Info retPassInfo2;
  const PassInfo::V2Info *paramsPassInfo2;
};

// A handler as the hook service holds it.  Deliberately no virtual
// destructor: the service ends a delegate with DeleteThis, which gives it
// back to the heap of the module that made it.
class ISHDelegate {
 public:
  virtual bool IsEqual(ISHDelegate *other) = 0;
  virtual void DeleteThis() = 0;
};

// Filled by a hook manager to describe the hooked operation.
class IHookManagerInfo {
 public:
  // `vtbloffs` is the byte position of the table pointer inside the object,
  // `vtblidx` the slot of the hooked operation, `hookfunc_vfnptr` the
  // address of the table entry that holds the hook function.
  virtual void SetInfo(int hookman_version, int vtbloffs, int vtblidx,
                       ProtoInfo *proto, void *hookfunc_vfnptr) = 0;
};

// One run of the handlers of a hooked call.
class IHookContext {
 public:
  // The pre-handlers, then null, then the post-handlers, then null.
  virtual ISHDelegate *GetNext() = 0;
  // Whether the original operation runs.
  virtual bool ShouldCallOrig() = 0;
};

// A hook manager: describes its hook to the service.  `store` true asks it
// to keep `hi`; a null `hi` tells it that the service lets go.  Answers 0,
// or 1 to refuse the service's version.
typedef int (*HookManagerPubFunc)(bool store, IHookManagerInfo *hi);

enum { SH_IFACE_VERSION = 5, SH_IMPL_VERSION = 5 };

class ISourceHook {
 public:
  virtual int GetIfaceVersion() = 0;
  virtual int GetImplVersion() = 0;
  // Attaches `handler` to the operation that `myHookMan` describes on
  // `iface`.  The service owns `handler` from this call on.  Answers
  // non-zero when attached.
  virtual int AddHook(Plugin plug, AddHookMode mode, void *iface,
                      int thisptr_offs, HookManagerPubFunc myHookMan,
                      ISHDelegate *handler, bool post) = 0;
  // Detaches the handler that IsEqual matches with `handler`; the service
  // keeps no reference to `handler` itself.
  virtual bool RemoveHook(Plugin plug, void *iface, int thisptr_offs,
                          HookManagerPubFunc myHookMan, ISHDelegate *handler,
                          bool post) = 0;
  // Opens the handler loop of one hooked call.  The address of the original
  // operation is written through `origCallAddr`; the service holds the
  // three result pointers while the loop runs.
  virtual IHookContext *SetupHookLoop(IHookManagerInfo *hi, void *vfnptr,
                                      void *thisptr, void **origCallAddr,
                                      META_RES *statusPtr,
                                      META_RES *prevResPtr,
                                      META_RES *curResPtr,
                                      const void *origRetPtr,
                                      void *overrideRetPtr) = 0;
  virtual void EndContext(IHookContext *ctx) = 0;
};

}  // namespace SourceHook

#endif  // QUELLGATE_HOST_ISOURCEHOOK_H_
