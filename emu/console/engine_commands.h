// The engine module's own console commands, built on the engine's copy of
// the console framework and registered like every module's objects:
//   echo TEXT      prints its arguments
//   find TEXT      lists the objects whose name or help text holds TEXT
//   cvarlist [P]   lists the objects (whose names begin with P)
//   quit           asks the server to stop
//
// The commands are ordinary ConCommand objects: built while the module's
// g_pCVar points at the service, they wait in the pending list until the
// module's registration walk, or register at once if it has run.
#ifndef QUELLGATE_EMU_CONSOLE_ENGINE_COMMANDS_H_
#define QUELLGATE_EMU_CONSOLE_ENGINE_COMMANDS_H_

#include "console/concommand.h"
#include "emu/console/console_service.h"

class CEngineCommands {
 public:
  // `pService` must outlive the commands.  The commands do not withdraw
  // themselves: withdraw them (UnregisterConCommand) before they go, if the
  // service lives on.
  explicit CEngineCommands(CConsoleService *pService);
  CEngineCommands(const CEngineCommands &) = delete;
  CEngineCommands &operator=(const CEngineCommands &) = delete;

  // `quit` has run.
  bool QuitRequested() const { return m_bQuit; }

 private:
  // One handler per command; each calls back into the owner.
  class CHandler : public ICommandHandler {
   public:
    typedef void (CEngineCommands::*Method)(const CCommandArgs &args);
    CHandler(CEngineCommands *pOwner, Method pfnMethod)
        : m_pOwner(pOwner), m_pfnMethod(pfnMethod) {}
    void HandleCommand(const CCommandArgs &args) override {
      (m_pOwner->*m_pfnMethod)(args);
    }

   private:
    CEngineCommands *m_pOwner;
    Method m_pfnMethod;
  };

  void Echo(const CCommandArgs &args);
  void Find(const CCommandArgs &args);
  void CvarList(const CCommandArgs &args);
  void Quit(const CCommandArgs &args);

  CConsoleService *m_pService;
  bool m_bQuit = false;
  CHandler m_EchoHandler{this, &CEngineCommands::Echo};
  CHandler m_FindHandler{this, &CEngineCommands::Find};
  CHandler m_CvarListHandler{this, &CEngineCommands::CvarList};
  CHandler m_QuitHandler{this, &CEngineCommands::Quit};
  ConCommand m_Echo{"echo", &m_EchoHandler, "Prints its arguments"};
  ConCommand m_Find{"find", &m_FindHandler,
                    "Lists the console objects whose name or help text "
                    "holds a text"};
  ConCommand m_CvarList{"cvarlist", &m_CvarListHandler,
                        "Lists the console objects (whose names begin with "
                        "an optional prefix)"};
  ConCommand m_Quit{"quit", &m_QuitHandler, "Stops the server"};
};

#endif  // QUELLGATE_EMU_CONSOLE_ENGINE_COMMANDS_H_
