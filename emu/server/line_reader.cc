#include "emu/server/line_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace {

// A single line longer than this is cut into pieces of this size, so that
// endless input without a line end cannot grow the server without bound.
constexpr size_t kMaxLine = 1 << 20;

}  // namespace

void CLineReader::ReadWaitingLines(std::vector<std::string> *pLines) {
  // poll, then a single read: a read on a readable descriptor never blocks,
  // and the descriptor's own mode (shared with the parent shell when it is
  // a terminal) is left alone.
  while (!m_bAtEnd) {
    pollfd pfd = {m_nFd, POLLIN, 0};
    int n = poll(&pfd, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) break;
    char szChunk[4096];
    ssize_t r = read(m_nFd, szChunk, sizeof szChunk);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) break;
    if (r <= 0) {
      m_bAtEnd = true;
      break;
    }
    m_strPartial.append(szChunk, static_cast<size_t>(r));
    TakeLines(pLines);
  }
  if (m_bAtEnd && !m_strPartial.empty()) {
    pLines->push_back(m_strPartial);
    m_strPartial.clear();
  }
}

void CLineReader::TakeLines(std::vector<std::string> *pLines) {
  size_t nStart = 0;
  for (;;) {
    size_t nEnd = m_strPartial.find('\n', nStart);
    if (nEnd == std::string::npos) break;
    size_t nLength = nEnd - nStart;
    if (nLength > 0 && m_strPartial[nEnd - 1] == '\r') --nLength;
    pLines->push_back(m_strPartial.substr(nStart, nLength));
    nStart = nEnd + 1;
  }
  m_strPartial.erase(0, nStart);
  while (m_strPartial.size() >= kMaxLine) {
    pLines->push_back(m_strPartial.substr(0, kMaxLine));
    m_strPartial.erase(0, kMaxLine);
  }
}
