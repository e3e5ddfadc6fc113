// Console commands: the console service runs a command by calling its
// Execute, which runs the handler the command was built with, and may ask it
// for completion suggestions for a partly typed command line.
//
// The order of the virtual operations (ConCommandBase's twelve, then
// SuggestCompletions, HasCompletion, Execute) is a binary contract with the
// engine: never reorder, insert or remove.  Not thread-safe.
#ifndef QUELLGATE_CONSOLE_CONCOMMAND_H_
#define QUELLGATE_CONSOLE_CONCOMMAND_H_

#include "console/concommandbase.h"
#include "console/growable.h"

// The console service's record of one invocation.  The framework never
// looks into it; it only passes a reference on to the handler.
class CCommandArgs;

// The completion table: COMPLETION_MAX_ITEMS rows of COMPLETION_ITEM_SIZE
// bytes; each filled row holds a terminated text of at most 63 characters.
constexpr int COMPLETION_MAX_ITEMS = 64;
constexpr int COMPLETION_ITEM_SIZE = 64;

// Handler forms.
typedef void (*PlainCommandFn)();
typedef void (*ArgsCommandFn)(const CCommandArgs &args);

class ICommandHandler {
 public:
  virtual void HandleCommand(const CCommandArgs &args) = 0;

 protected:
  ~ICommandHandler() = default;
};

// Completion forms.  A CompletionFn fills rows of the table from the first
// one and answers how many it filled (at most COMPLETION_MAX_ITEMS).
typedef int (*CompletionFn)(
    const char *pszPartial,
    char ppszSuggestions[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE]);

class ICompletionSource {
 public:
  // Appends suggestions to the vector itself and answers their number.
  virtual int ListCompletions(const char *pszPartial,
                              CGrowableVector<CTextString> &suggestions) = 0;

 protected:
  ~ICompletionSource() = default;
};

// Fills nothing and answers 0: the completion of a command built without
// one.
int NoCompletions(
    const char *pszPartial,
    char ppszSuggestions[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE]);

class ConCommand : public ConCommandBase {
 public:
  // A command with a plain handler (null: Execute does nothing) and a
  // completion function (null: NoCompletions, and HasCompletion answers
  // false).  Enters the pending list or registers at once.  The name and
  // help text are not copied and must outlive the command.
  ConCommand(const char *pszName, PlainCommandFn pfnHandler,
             const char *pszHelpText = nullptr, int nFlags = 0,
             CompletionFn pfnCompletion = nullptr);
  // The same with a handler that receives the invocation's arguments.
  ConCommand(const char *pszName, ArgsCommandFn pfnHandler,
             const char *pszHelpText = nullptr, int nFlags = 0,
             CompletionFn pfnCompletion = nullptr);
  // The same with a handler object and a completion object (either may be
  // null); neither is owned.
  ConCommand(const char *pszName, ICommandHandler *pHandler,
             const char *pszHelpText = nullptr, int nFlags = 0,
             ICompletionSource *pCompletion = nullptr);

  // Virtual operations, in contract order: ConCommandBase's twelve with
  // their base behaviour, then these three.
  ~ConCommand() override;
  bool IsCommand() const override;  // true

  // Appends the suggestions for pszPartial after the elements the vector
  // already holds and answers their number; 0 or a negative answer of the
  // completion function is passed back with nothing appended.  At most
  // COMPLETION_MAX_ITEMS rows are taken from a completion function; when
  // the vector cannot grow, the answer counts what was appended.  Does not
  // consult HasCompletion.
  virtual int SuggestCompletions(const char *pszPartial,
                                 CGrowableVector<CTextString> &suggestions);
  virtual bool HasCompletion() const;
  virtual void Execute(const CCommandArgs &args);

 private:
  // Stores a completion function, NoCompletions standing in for none, and
  // sets up the base.  The function forms of the constructor end here.
  void SetUpWithFunctions(bool bHandlerTakesArgs, CompletionFn pfnCompletion,
                          const char *pszName, const char *pszHelpText,
                          int nFlags);

  union HandlerWord {
    PlainCommandFn m_pfnPlain;
    ArgsCommandFn m_pfnArgs;
    ICommandHandler *m_pObject;
  };
  union CompletionWord {
    CompletionFn m_pfnList;
    ICompletionSource *m_pObject;
  };

  HandlerWord m_CommandHandler;
  CompletionWord m_Completion;
  // One flag byte, from its lowest bit.
  bool m_bHasCompletion : 1;
  bool m_bHandlerTakesArgs : 1;  // m_CommandHandler is an ArgsCommandFn
  bool m_bUsesObjects : 1;       // handler and completion are objects
};

#endif  // QUELLGATE_CONSOLE_CONCOMMAND_H_
