// A console service that does nothing: every lookup finds nothing, every
// registration is dropped.  Test doubles derive from it and override only
// what they record.
#ifndef QUELLGATE_TESTS_NULL_CVAR_H_
#define QUELLGATE_TESTS_NULL_CVAR_H_

#include "host/ICvar.h"

class NullCvar : public ICvar {
 public:
  int AllocateDLLIdentifier() override { return 0; }
  void RegisterConCommand(ConCommandBase *) override {}
  void UnregisterConCommand(ConCommandBase *) override {}
  void UnregisterConCommands(int) override {}
  ConCommandBase *FindCommandBase(const char *) override { return nullptr; }
  ConVar *FindVar(const char *) override { return nullptr; }
  ConCommand *FindCommand(const char *) override { return nullptr; }
  ConCommandBase *GetCommand(int) override { return nullptr; }
  void InstallGlobalChangeCallback(FnChangeCallback) override {}
  void RemoveGlobalChangeCallback(FnChangeCallback) override {}
  void CallGlobalChangeCallbacks(ConVar *, const char *, float) override {}
};

#endif  // QUELLGATE_TESTS_NULL_CVAR_H_
