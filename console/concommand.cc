// Console commands: handler dispatch and completion.
#include "console/concommand.h"

int NoCompletions(
    const char *pszPartial,
    char ppszSuggestions[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE]) {
  return 0;
}

ConCommand::ConCommand(const char *pszName, PlainCommandFn pfnHandler,
                       const char *pszHelpText, int nFlags,
                       CompletionFn pfnCompletion) {
  m_CommandHandler.m_pfnPlain = pfnHandler;
  SetUpWithFunctions(false, pfnCompletion, pszName, pszHelpText, nFlags);
}

ConCommand::ConCommand(const char *pszName, ArgsCommandFn pfnHandler,
                       const char *pszHelpText, int nFlags,
                       CompletionFn pfnCompletion) {
  m_CommandHandler.m_pfnArgs = pfnHandler;
  SetUpWithFunctions(true, pfnCompletion, pszName, pszHelpText, nFlags);
}

void ConCommand::SetUpWithFunctions(bool bHandlerTakesArgs,
                                    CompletionFn pfnCompletion,
                                    const char *pszName,
                                    const char *pszHelpText, int nFlags) {
  m_bHandlerTakesArgs = bHandlerTakesArgs;
  m_bUsesObjects = false;
  m_Completion.m_pfnList =
      pfnCompletion != nullptr ? pfnCompletion : &NoCompletions;
  m_bHasCompletion = pfnCompletion != nullptr;
  // Called directly: the object is not whole yet, so not through its table.
  ConCommandBase::SetUpBase(pszName, pszHelpText, nFlags);
}

ConCommand::ConCommand(const char *pszName, ICommandHandler *pHandler,
                       const char *pszHelpText, int nFlags,
                       ICompletionSource *pCompletion) {
  m_CommandHandler.m_pObject = pHandler;
  m_bHandlerTakesArgs = false;
  m_bUsesObjects = true;
  m_Completion.m_pObject = pCompletion;
  m_bHasCompletion = pCompletion != nullptr;
  ConCommandBase::SetUpBase(pszName, pszHelpText, nFlags);
}

ConCommand::~ConCommand() {}

bool ConCommand::IsCommand() const { return true; }

bool ConCommand::HasCompletion() const { return m_bHasCompletion; }

void ConCommand::Execute(const CCommandArgs &args) {
  if (m_bHandlerTakesArgs) {
    if (m_CommandHandler.m_pfnArgs != nullptr) {
      m_CommandHandler.m_pfnArgs(args);
    }
  } else if (m_bUsesObjects) {
    if (m_CommandHandler.m_pObject != nullptr) {
      m_CommandHandler.m_pObject->HandleCommand(args);
    }
  } else if (m_CommandHandler.m_pfnPlain != nullptr) {
    m_CommandHandler.m_pfnPlain();
  }
}

int ConCommand::SuggestCompletions(const char *pszPartial,
                                   CGrowableVector<CTextString> &suggestions) {
  if (m_bUsesObjects) {
    if (m_Completion.m_pObject == nullptr) return 0;
    return m_Completion.m_pObject->ListCompletions(pszPartial, suggestions);
  }
  if (m_Completion.m_pfnList == nullptr) return 0;

  // Not cleared: the function fills the rows it reports.
  char ppszRows[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE];
  const int nAnswer = m_Completion.m_pfnList(pszPartial, ppszRows);
  if (nAnswer <= 0) return nAnswer;

  // The table has COMPLETION_MAX_ITEMS rows; a larger answer would read past
  // it.  A row the function left unterminated is cut at the row's end.
  const int nRows =
      nAnswer < COMPLETION_MAX_ITEMS ? nAnswer : COMPLETION_MAX_ITEMS;
  int nAppended = 0;
  for (int i = 0; i < nRows; ++i) {
    ppszRows[i][COMPLETION_ITEM_SIZE - 1] = '\0';
    CTextString row(ppszRows[i]);
    if (suggestions.Append(row) < 0) break;  // the vector cannot grow
    ++nAppended;
  }
  return nAppended;
}
