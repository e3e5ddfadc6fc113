// The base of every console object of a module, the module-wide pending
// list and the one registration walk.
//
// Console objects are built before the engine's console service is known,
// so each one pushes itself onto the pending list (a stack threaded through
// m_pNext).  Once the module has stored the console service in g_pCVar it
// calls RegisterConsoleObjects once; the walk hands every pending object,
// newest first, to a registration accessor, and from then on every new
// object registers itself at once through the same accessor.
//
// The console service keeps pointers to registered objects and calls their
// virtual operations by position, so the order of the virtual operations
// below is a binary contract with the engine: never reorder, insert or
// remove one.
//
// Every module that links this framework has its own copy of the globals
// declared here; nothing in the framework assumes that it is the only copy
// in the process.  Not thread-safe: objects are built, registered and
// called on one thread at a time.
#ifndef QUELLGATE_CONSOLE_CONCOMMANDBASE_H_
#define QUELLGATE_CONSOLE_CONCOMMANDBASE_H_

#include "host/platform.h"

class ICvar;
class ConCommandBase;

// Flag bits that the framework itself reads; every other bit of an object's
// flag word is stored and handed to the console service untouched.
//
// The object is not pushed onto the pending list, so the walk never sees it.
constexpr int FCVAR_UNREGISTERED = 1;
// A variable's setters leave its value text unchanged and notify nobody.
constexpr int FCVAR_NEVER_AS_STRING = 0x1000;

// Receives each console object at registration.  One operation.
class IConCommandBaseAccessor {
 public:
  // Answers true when the object was accepted.  The walk ignores the answer.
  virtual bool RegisterConCommandBase(ConCommandBase *pCommand) = 0;

 protected:
  ~IConCommandBaseAccessor() = default;
};

// The accessor the walk uses when it is given none: passes every object to
// the console service in g_pCVar.
class CDefaultAccessor : public IConCommandBaseAccessor {
 public:
  // Calls g_pCVar->RegisterConCommand(pCommand) and answers true; answers
  // false without a call when there is no console service.
  bool RegisterConCommandBase(ConCommandBase *pCommand) override;
};

class ConCommandBase {
 public:
  // Virtual operations, in contract order.
  //
  // Neither unlinks the object from the pending list nor withdraws it from
  // the console service.
  virtual ~ConCommandBase();
  virtual bool IsCommand() const;                // true
  virtual bool HasFlag(int nFlags) const;        // any of the bits set
  virtual void AddFlags(int nFlags);             // m_nFlags |= bits
  virtual void RemoveFlags(int nFlags);          // m_nFlags &= ~bits
  virtual int GetFlags() const;
  virtual const char *GetName() const;
  virtual const char *GetHelpText() const;       // never null
  virtual bool IsRegistered() const;
  // The identifier the console service gave this module; -1 before the walk.
  // The same for every object of the module.
  virtual int GetModuleId() const;
  // Fills the base fields (a null help text becomes the empty text; the
  // texts are not copied and must outlive the object), pushes the object
  // onto the pending list unless the flags have FCVAR_UNREGISTERED, and,
  // once the walk has run, registers the object at once whatever its flags.
  virtual void SetUpBase(const char *pszName, const char *pszHelpText,
                         int nFlags);
  // Hands this object to the walk's accessor, if the walk has run.
  virtual void RegisterSelf();

  // The next object of the pending list (null at its end, or when the
  // object is not listed).
  ConCommandBase *GetNext() const { return m_pNext; }

 protected:
  // The neutral state: not listed, not registered, no name or help text,
  // flags 0.  Derived constructors then call SetUpBase directly.
  ConCommandBase();

  ConCommandBase(const ConCommandBase &) = delete;
  ConCommandBase &operator=(const ConCommandBase &) = delete;

  ConCommandBase *m_pNext;
  // Cleared at set-up; only the console service may set it.
  bool m_bRegistered;
  const char *m_pszName;
  const char *m_pszHelpText;
  int m_nFlags;
};

// Registers every pending object through pAccessor (or s_DefaultRegistrar
// when null), newest first, after ORing nFlags into each one's flags.  Does
// nothing while g_pCVar is null (a later call can still walk) and nothing
// once a walk has run: the walk runs at most once per module.
void RegisterConsoleObjects(int nFlags, IConCommandBaseAccessor *pAccessor);

// Module-wide state.  All constant-initialised, so objects built during
// static initialisation can push themselves in any order of start-up.
extern ConCommandBase *s_pPendingList;       // head: the newest object
extern IConCommandBaseAccessor *s_pRegistrar;  // set by the walk only
extern int s_nRegisterFlags;                 // bits the walk added
extern int s_nModuleId;                      // -1 until the walk
extern bool s_bListRegistered;               // the walk has run
extern CDefaultAccessor s_DefaultRegistrar;

// The console service, exported by name.  Set by the module before the
// walk; read by the walk, the default accessor and every value change.
QG_EXPORT extern ICvar *g_pCVar;
// Exported beside g_pCVar for the engine; nothing sets or reads it.
QG_EXPORT extern ICvar *cvar;

#endif  // QUELLGATE_CONSOLE_CONCOMMANDBASE_H_
