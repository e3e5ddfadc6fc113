#include "emu/console/console_service.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "console/concommand.h"
#include "console/convar.h"

namespace {

bool HasName(const char *pszName) {
  return pszName != nullptr && pszName[0] != '\0';
}

bool ContainsNoCase(const char *pszText, const char *pszPiece) {
  if (pszText == nullptr) return false;
  return strcasestr(pszText, pszPiece) != nullptr;
}

bool BeginsNoCase(const char *pszText, const char *pszPrefix) {
  return strncasecmp(pszText, pszPrefix, strlen(pszPrefix)) == 0;
}

}  // namespace

CConsoleService::CConsoleService(IConsoleOutput *pOutput)
    : m_pOutput(pOutput) {}

int CConsoleService::AllocateDLLIdentifier() { return m_nNextModuleId++; }

void CConsoleService::RegisterConCommand(ConCommandBase *pCommandBase) {
  if (pCommandBase == nullptr) return;
  const char *pszName = pCommandBase->GetName();
  if (!HasName(pszName)) return;
  ConCommandBase *pHeld = FindCommandBase(pszName);
  if (pHeld == pCommandBase) return;
  if (pHeld != nullptr) {
    Print(std::string("Warning: console object \"") + pszName +
          "\" is already registered; the second one is ignored\n");
    return;
  }
  m_Objects.push_back(pCommandBase);
}

void CConsoleService::UnregisterConCommand(ConCommandBase *pCommandBase) {
  m_Objects.erase(
      std::remove(m_Objects.begin(), m_Objects.end(), pCommandBase),
      m_Objects.end());
}

void CConsoleService::UnregisterConCommands(int id) {
  m_Objects.erase(std::remove_if(m_Objects.begin(), m_Objects.end(),
                                 [id](ConCommandBase *p) {
                                   return p->GetModuleId() == id;
                                 }),
                  m_Objects.end());
}

ConCommandBase *CConsoleService::FindCommandBase(const char *name) {
  if (!HasName(name)) return nullptr;
  for (ConCommandBase *pObject : m_Objects) {
    if (strcasecmp(pObject->GetName(), name) == 0) return pObject;
  }
  return nullptr;
}

ConVar *CConsoleService::FindVar(const char *var_name) {
  ConCommandBase *pObject = FindCommandBase(var_name);
  if (pObject == nullptr || pObject->IsCommand()) return nullptr;
  return static_cast<ConVar *>(pObject);
}

ConCommand *CConsoleService::FindCommand(const char *name) {
  ConCommandBase *pObject = FindCommandBase(name);
  if (pObject == nullptr || !pObject->IsCommand()) return nullptr;
  return static_cast<ConCommand *>(pObject);
}

ConCommandBase *CConsoleService::GetCommand(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  return m_Objects[static_cast<size_t>(index)];
}

void CConsoleService::InstallGlobalChangeCallback(FnChangeCallback callback) {
  if (callback == nullptr) return;
  if (std::find(m_Callbacks.begin(), m_Callbacks.end(), callback) ==
      m_Callbacks.end()) {
    m_Callbacks.push_back(callback);
  }
}

void CConsoleService::RemoveGlobalChangeCallback(FnChangeCallback callback) {
  m_Callbacks.erase(
      std::remove(m_Callbacks.begin(), m_Callbacks.end(), callback),
      m_Callbacks.end());
}

void CConsoleService::CallGlobalChangeCallbacks(ConVar *var,
                                                const char *pOldValue,
                                                float flOldValue) {
  if (var == nullptr) return;
  // A copy: a callback may install or remove callbacks.
  std::vector<FnChangeCallback> callbacks = m_Callbacks;
  for (FnChangeCallback pfnCallback : callbacks) {
    pfnCallback(static_cast<IConVar *>(var), pOldValue, flOldValue);
  }
}

void CConsoleService::ExecuteLine(const std::string &strLine) {
  for (const CCommandArgs &args : SplitConsoleLine(strLine)) {
    ExecuteCommand(args);
  }
}

void CConsoleService::ExecuteCommand(const CCommandArgs &args) {
  if (args.ArgC() == 0) return;
  ConCommandBase *pObject = FindCommandBase(args.Arg(0));
  if (pObject == nullptr) {
    Print(std::string("Unknown command \"") + args.Arg(0) + "\"\n");
    return;
  }
  if (pObject->IsCommand()) {
    static_cast<ConCommand *>(pObject)->Execute(args);
    return;
  }
  ConVar *pVar = static_cast<ConVar *>(pObject);
  if (args.ArgC() == 1) {
    Describe(pVar);
    return;
  }
  // Through the IConVar view, as a module would set it.
  IConVar *pView = pVar;
  pView->SetValue(args.Arg(1));
}

void CConsoleService::Describe(ConCommandBase *pObject) {
  std::string strText = std::string("\"") + pObject->GetName() + "\"";
  if (!pObject->IsCommand()) {
    ConVar *pVar = static_cast<ConVar *>(pObject);
    strText += std::string(" = \"") + pVar->GetString() + "\" ( def. \"" +
               pVar->GetDefault() + "\" )";
  }
  strText += "\n";
  const char *pszHelp = pObject->GetHelpText();
  if (pszHelp != nullptr && pszHelp[0] != '\0') {
    strText += pszHelp;
    strText += "\n";
  }
  Print(strText);
}

std::vector<ConCommandBase *> CConsoleService::SortedObjects() const {
  std::vector<ConCommandBase *> objects = m_Objects;
  std::stable_sort(objects.begin(), objects.end(),
                   [](ConCommandBase *a, ConCommandBase *b) {
                     return strcasecmp(a->GetName(), b->GetName()) < 0;
                   });
  return objects;
}

void CConsoleService::PrintMatching(const char *pszText) {
  if (pszText == nullptr || pszText[0] == '\0') {
    Print("Usage: find TEXT\n");
    return;
  }
  for (ConCommandBase *pObject : SortedObjects()) {
    if (ContainsNoCase(pObject->GetName(), pszText) ||
        ContainsNoCase(pObject->GetHelpText(), pszText)) {
      Describe(pObject);
    }
  }
}

void CConsoleService::PrintList(const char *pszPrefix) {
  if (pszPrefix == nullptr) pszPrefix = "";
  int nListed = 0;
  for (ConCommandBase *pObject : SortedObjects()) {
    if (!BeginsNoCase(pObject->GetName(), pszPrefix)) continue;
    const char *pszValue =
        pObject->IsCommand() ? "cmd"
                             : static_cast<ConVar *>(pObject)->GetString();
    char szLine[512];
    snprintf(szLine, sizeof szLine, "%-24s : %-10s : %s\n",
             pObject->GetName(), pszValue, pObject->GetHelpText());
    Print(szLine);
    ++nListed;
  }
  Print("--------------\n" + std::to_string(nListed) +
        " total convars/concommands\n");
}

int CConsoleService::CompleteLine(const char *pszPartial,
                                  std::vector<std::string> *pSuggestions) {
  if (pszPartial == nullptr) return 0;
  while (*pszPartial == ' ' || *pszPartial == '\t') ++pszPartial;
  const char *pszBlank = strpbrk(pszPartial, " \t");
  if (pszBlank != nullptr) {
    std::string strName(pszPartial, static_cast<size_t>(pszBlank - pszPartial));
    ConCommand *pCommand = FindCommand(strName.c_str());
    if (pCommand == nullptr || !pCommand->HasCompletion()) return 0;
    CGrowableVector<CTextString> suggestions;
    pCommand->SuggestCompletions(pszPartial, suggestions);
    for (int i = 0; i < suggestions.Count(); ++i) {
      pSuggestions->push_back(suggestions[i].Get());
    }
    return suggestions.Count();
  }
  int nAdded = 0;
  for (ConCommandBase *pObject : SortedObjects()) {
    if (BeginsNoCase(pObject->GetName(), pszPartial)) {
      pSuggestions->push_back(pObject->GetName());
      ++nAdded;
    }
  }
  return nAdded;
}
