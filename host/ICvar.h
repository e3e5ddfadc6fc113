// The engine's console service, requested as "VEngineCvar007".  It keeps
// the registered console objects and calls back into them through their
// virtual operations.  Operations only, in the published order.
#ifndef QUELLGATE_HOST_ICVAR_H_
#define QUELLGATE_HOST_ICVAR_H_

class ConCommandBase;
class ConCommand;
class ConVar;
class IConVar;

#define CVAR_INTERFACE_VERSION "VEngineCvar007"

// A global change callback of the console service.
typedef void (*FnChangeCallback)(IConVar *var, const char *pOldValue,
                                 float flOldValue);

class ICvar {
 public:
  // A distinct identifier per module that registers console objects.
  virtual int AllocateDLLIdentifier() = 0;
  // Registers an object; a second object of the same name is refused.
  virtual void RegisterConCommand(ConCommandBase *pCommandBase) = 0;
  virtual void UnregisterConCommand(ConCommandBase *pCommandBase) = 0;
  // Withdraws every object that the module with this identifier registered.
  virtual void UnregisterConCommands(int id) = 0;
  // Lookups by name, case-insensitive; null when nothing matches.
  virtual ConCommandBase *FindCommandBase(const char *name) = 0;
  virtual ConVar *FindVar(const char *var_name) = 0;
  virtual ConCommand *FindCommand(const char *name) = 0;
  // The registered objects, in registration order; null past the end.
  virtual ConCommandBase *GetCommand(int index) = 0;
  virtual void InstallGlobalChangeCallback(FnChangeCallback callback) = 0;
  virtual void RemoveGlobalChangeCallback(FnChangeCallback callback) = 0;
  // Runs every global change callback for a variable that took a value.
  virtual void CallGlobalChangeCallbacks(ConVar *var, const char *pOldValue,
                                         float flOldValue) = 0;
};

#endif  // QUELLGATE_HOST_ICVAR_H_
