// The emulated engine's console service: a real ICvar.  It holds the console
// objects that modules register, finds them by name (case-insensitive, as
// game consoles are), runs console lines against them, broadcasts variable
// changes to its global change callbacks and completes partly typed lines.
//
// Objects are held by pointer and called through their virtual operations;
// the service never frees one.  A module withdraws its objects (or the host
// withdraws a plugin's) before their memory goes away.  An object with no
// name cannot be reached from the console and is not held (every module's
// console framework has a nameless placeholder variable, and registering it
// is not an error).
//
// Not thread-safe: the server's main thread registers, runs lines and changes
// values.
#ifndef QUELLGATE_EMU_CONSOLE_CONSOLE_SERVICE_H_
#define QUELLGATE_EMU_CONSOLE_CONSOLE_SERVICE_H_

#include <string>
#include <vector>

#include "emu/console/command_args.h"
#include "emu/host/console_output.h"
#include "host/ICvar.h"

class CConsoleService : public ICvar {
 public:
  // `pOutput` receives everything the service prints; it must outlive the
  // service.
  explicit CConsoleService(IConsoleOutput *pOutput);
  CConsoleService(const CConsoleService &) = delete;
  CConsoleService &operator=(const CConsoleService &) = delete;

  // ICvar.
  int AllocateDLLIdentifier() override;
  // Refuses, with a console warning, an object whose name (in any letter
  // case) is already held; the same object again is ignored quietly.
  void RegisterConCommand(ConCommandBase *pCommandBase) override;
  // Does nothing for an object that is not held.
  void UnregisterConCommand(ConCommandBase *pCommandBase) override;
  void UnregisterConCommands(int id) override;
  ConCommandBase *FindCommandBase(const char *name) override;
  ConVar *FindVar(const char *var_name) override;
  ConCommand *FindCommand(const char *name) override;
  ConCommandBase *GetCommand(int index) override;
  // Installing a callback twice keeps one.
  void InstallGlobalChangeCallback(FnChangeCallback callback) override;
  void RemoveGlobalChangeCallback(FnChangeCallback callback) override;
  // Runs the installed callbacks in installation order with the variable's
  // IConVar view.
  void CallGlobalChangeCallbacks(ConVar *var, const char *pOldValue,
                                 float flOldValue) override;

  // Runs every command of a console line, in order (see command_args.h).
  // A variable's name alone prints its value, default and help text; its
  // name and an argument sets it through IConVar::SetValue(const char *); a
  // command's name runs its Execute; any other name prints
  // Unknown command "NAME".
  void ExecuteLine(const std::string &strLine);
  void ExecuteCommand(const CCommandArgs &args);

  // The completions of a partly typed line: the names that begin with it
  // or, once a command's name and a blank are typed, what that command
  // suggests (if it has completion).  Answers how many were appended.
  int CompleteLine(const char *pszPartial,
                   std::vector<std::string> *pSuggestions);

  // The `find` listing: every object whose name or help text contains
  // `pszText` (any letter case), described as a variable's name alone
  // describes it.
  void PrintMatching(const char *pszText);
  // The `cvarlist` listing: every object whose name begins with `pszPrefix`
  // (all of them for ""), sorted by name, one line each, and a count.
  void PrintList(const char *pszPrefix);

  int Count() const { return static_cast<int>(m_Objects.size()); }
  IConsoleOutput *Output() const { return m_pOutput; }

 private:
  void Print(const std::string &strText) { m_pOutput->Print(strText.c_str()); }
  void Describe(ConCommandBase *pObject);
  std::vector<ConCommandBase *> SortedObjects() const;

  IConsoleOutput *m_pOutput;
  int m_nNextModuleId = 0;
  std::vector<ConCommandBase *> m_Objects;  // in registration order
  std::vector<FnChangeCallback> m_Callbacks;
};

#endif  // QUELLGATE_EMU_CONSOLE_CONSOLE_SERVICE_H_
