// CCommandArgs: the console service's record of one command invocation, and
// the splitting of a console line into commands.
//
// A line holds commands separated by ';'.  A command splits into arguments
// on blanks (spaces and tabs); double quotes group blanks and ';' into one
// argument and are not part of it ("" is an empty argument); a quote left
// open runs to the end of the line.
//
// The console framework only passes a reference to this record on to a
// command's handler; it never looks inside.
#ifndef QUELLGATE_EMU_CONSOLE_COMMAND_ARGS_H_
#define QUELLGATE_EMU_CONSOLE_COMMAND_ARGS_H_

#include <string>
#include <vector>

class CCommandArgs {
 public:
  CCommandArgs() = default;
  // Splits one command (its text holds no separating ';').
  explicit CCommandArgs(const std::string &strCommand);

  // The number of arguments, the command's name included.
  int ArgC() const { return static_cast<int>(m_Args.size()); }
  // Argument `i` (0 is the name); the empty text when out of range.
  const char *Arg(int i) const;
  const char *operator[](int i) const { return Arg(i); }
  // The text after the name, as typed (quotes kept), without the blanks
  // around it.
  const char *ArgS() const { return m_strArgS.c_str(); }
  // The whole command as typed.
  const char *GetCommandString() const { return m_strCommand.c_str(); }

 private:
  std::string m_strCommand;
  std::string m_strArgS;
  std::vector<std::string> m_Args;
};

// The commands of one console line, in order; blank commands are left out.
std::vector<CCommandArgs> SplitConsoleLine(const std::string &strLine);

#endif  // QUELLGATE_EMU_CONSOLE_COMMAND_ARGS_H_
