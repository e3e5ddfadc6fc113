// Console lines from a file descriptor, read without blocking: the server
// reads what is waiting once per tick and never stalls its loop on input.
#ifndef QUELLGATE_EMU_SERVER_LINE_READER_H_
#define QUELLGATE_EMU_SERVER_LINE_READER_H_

#include <string>
#include <vector>

class CLineReader {
 public:
  explicit CLineReader(int nFd) : m_nFd(nFd) {}

  // Appends to `*pLines` every complete line waiting now, without its line
  // end (a "\r\n" end loses its "\r" too).  At end of input an unterminated
  // last line counts as complete.
  void ReadWaitingLines(std::vector<std::string> *pLines);
  // The input has ended (or failed); no more lines will come.
  bool AtEnd() const { return m_bAtEnd; }

 private:
  void TakeLines(std::vector<std::string> *pLines);

  int m_nFd;
  bool m_bAtEnd = false;
  std::string m_strPartial;
};

#endif  // QUELLGATE_EMU_SERVER_LINE_READER_H_
