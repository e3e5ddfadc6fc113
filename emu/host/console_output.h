// Where the server console's output goes.  The server prints to stdout; the
// tests capture into a string, so every message can be checked byte for
// byte.  Each Print hands over one complete piece of text.
#ifndef QUELLGATE_EMU_HOST_CONSOLE_OUTPUT_H_
#define QUELLGATE_EMU_HOST_CONSOLE_OUTPUT_H_

#include <stdio.h>

#include <string>

class IConsoleOutput {
 public:
  virtual ~IConsoleOutput() = default;
  virtual void Print(const char *pszText) = 0;
};

// Writes to a stdio stream and flushes at once: the console is often a
// pipe, and a reader must see each message when it is printed.
class CStdioOutput : public IConsoleOutput {
 public:
  explicit CStdioOutput(FILE *pStream) : m_pStream(pStream) {}
  void Print(const char *pszText) override;

 private:
  FILE *m_pStream;
};

// Keeps everything printed, in order.
class CStringOutput : public IConsoleOutput {
 public:
  void Print(const char *pszText) override { m_strText += pszText; }
  const std::string &Text() const { return m_strText; }
  void Clear() { m_strText.clear(); }

 private:
  std::string m_strText;
};

#endif  // QUELLGATE_EMU_HOST_CONSOLE_OUTPUT_H_
