#include "emu/console/engine_commands.h"

#include <string>

CEngineCommands::CEngineCommands(CConsoleService *pService)
    : m_pService(pService) {}

void CEngineCommands::Echo(const CCommandArgs &args) {
  // The arguments, unquoted, one blank apart.
  std::string strText;
  for (int i = 1; i < args.ArgC(); ++i) {
    if (i > 1) strText += ' ';
    strText += args.Arg(i);
  }
  strText += '\n';
  m_pService->Output()->Print(strText.c_str());
}

void CEngineCommands::Find(const CCommandArgs &args) {
  m_pService->PrintMatching(args.Arg(1));
}

void CEngineCommands::CvarList(const CCommandArgs &args) {
  m_pService->PrintList(args.Arg(1));
}

void CEngineCommands::Quit(const CCommandArgs &args) { m_bQuit = true; }
