#include "emu/console/command_args.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

CCommandArgs::CCommandArgs(const std::string &strCommand)
    : m_strCommand(strCommand) {
  const std::string &s = m_strCommand;
  size_t i = 0;
  size_t nArgSStart = std::string::npos;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i >= s.size()) break;
    if (m_Args.size() == 1 && nArgSStart == std::string::npos) nArgSStart = i;
    // One argument: runs of plain characters and quoted stretches, up to a
    // blank outside quotes.
    std::string strArg;
    bool bQuoted = false;
    while (i < s.size() && (bQuoted || !IsBlank(s[i]))) {
      if (s[i] == '"') {
        bQuoted = !bQuoted;
      } else {
        strArg += s[i];
      }
      ++i;
    }
    m_Args.push_back(strArg);
  }
  if (nArgSStart != std::string::npos) {
    size_t nEnd = s.size();
    while (nEnd > nArgSStart && IsBlank(s[nEnd - 1])) --nEnd;
    m_strArgS = s.substr(nArgSStart, nEnd - nArgSStart);
  }
}

const char *CCommandArgs::Arg(int i) const {
  if (i < 0 || i >= ArgC()) return "";
  return m_Args[static_cast<size_t>(i)].c_str();
}

std::vector<CCommandArgs> SplitConsoleLine(const std::string &strLine) {
  std::vector<CCommandArgs> commands;
  size_t nStart = 0;
  bool bQuoted = false;
  for (size_t i = 0; i <= strLine.size(); ++i) {
    bool bEnd = i == strLine.size();
    if (!bEnd && strLine[i] == '"') bQuoted = !bQuoted;
    if (bEnd || (!bQuoted && strLine[i] == ';')) {
      CCommandArgs args(strLine.substr(nStart, i - nStart));
      if (args.ArgC() > 0) commands.push_back(std::move(args));
      nStart = i + 1;
    }
  }
  return commands;
}
