#include "emu/host/console_output.h"

void CStdioOutput::Print(const char *pszText) {
  if (pszText == nullptr) return;
  fputs(pszText, m_pStream);
  fflush(m_pStream);
}
