// The emulated console service's line parser: SplitConsoleLine and
// CCommandArgs on arbitrary console lines (a line is text up to its first
// NUL or newline, as the console reads it).
//
// Beyond what the address sanitizer sees, the checks hold the parser's
// contract: blank commands are left out; no argument keeps a double quote;
// each command is a piece of the line as typed, in order; ArgS is the text
// after the name without surrounding blanks; out-of-range arguments read as
// the empty text; and quoting every argument and joining them with blanks
// gives a line that splits back into one command with the same arguments
// (quotes group blanks and ';').
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "emu/console/command_args.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string> ArgsOf(const CCommandArgs &args) {
  std::vector<std::string> result;
  for (int i = 0; i < args.ArgC(); ++i) result.push_back(args.Arg(i));
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string strLine(reinterpret_cast<const char *>(data), size);
  strLine = strLine.substr(0, strLine.find_first_of(std::string("\0\n", 2)));

  const std::vector<CCommandArgs> commands = SplitConsoleLine(strLine);
  size_t nSearchFrom = 0;
  for (const CCommandArgs &args : commands) {
    CHECK(args.ArgC() >= 1);
    CHECK(args.Arg(-1) != nullptr && args.Arg(-1)[0] == '\0');
    CHECK(args.Arg(args.ArgC()) != nullptr && args.Arg(args.ArgC())[0] == '\0');
    for (int i = 0; i < args.ArgC(); ++i) {
      CHECK(strchr(args.Arg(i), '"') == nullptr);
    }

    const std::string strCommand = args.GetCommandString();
    const size_t nAt = strLine.find(strCommand, nSearchFrom);
    CHECK(nAt != std::string::npos);
    nSearchFrom = nAt + strCommand.size();

    const std::string strArgS = args.ArgS();
    if (args.ArgC() == 1) {
      CHECK(strArgS.empty());
    } else {
      CHECK(!strArgS.empty());
      CHECK(!IsBlank(strArgS.front()) && !IsBlank(strArgS.back()));
      CHECK(strCommand.find(strArgS) != std::string::npos);
    }

    // Quoted and joined, the arguments split back unchanged.
    std::string strQuoted;
    for (int i = 0; i < args.ArgC(); ++i) {
      if (i > 0) strQuoted += ' ';
      strQuoted += '"';
      strQuoted += args.Arg(i);
      strQuoted += '"';
    }
    const std::vector<CCommandArgs> again = SplitConsoleLine(strQuoted);
    CHECK(again.size() == 1);
    CHECK(ArgsOf(again[0]) == ArgsOf(args));
  }
  return 0;
}
