// Every text here is built with snprintf into bounded buffers; the only
// strings that reach the JSON come from this program (the target it
// formatted, the mode names), so they need no escaping beyond what
// JsonString does for safety.
#include "tools/flood_report.h"

#include <stdarg.h>

namespace qgflood {

namespace {

std::string Printf(const char *pszFormat, ...)
    __attribute__((format(printf, 1, 2)));

std::string Printf(const char *pszFormat, ...) {
  char szText[512];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof(szText), pszFormat, args);
  va_end(args);
  return szText;
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += Printf("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonMs(bool bValid, double flMs) {
  return bValid ? Printf("%.3f", flMs) : "null";
}

unsigned long long U(uint64_t n) { return static_cast<unsigned long long>(n); }

}  // namespace

std::string FormatJson(const FloodSummary &s) {
  std::string out = "{";
  out += "\"target\":" + JsonString(s.m_Target);
  out += ",\"mode\":" + JsonString(s.m_Mode);
  out += Printf(",\"sent\":%llu", U(s.m_nSent));
  out += Printf(",\"bytes\":%llu", U(s.m_nSent * s.m_nSize));
  out += Printf(",\"size\":%u", s.m_nSize);
  out += Printf(",\"sources\":%u", s.m_nSources);
  out += Printf(",\"seconds\":%.6f", s.m_flSeconds);
  out += Printf(",\"rate\":%.1f", s.Rate());
  out += Printf(",\"send_errors\":%llu", U(s.m_nSendErrors));
  out += ",\"stopped_by\":" + JsonString(s.m_StoppedBy);
  if (s.m_bPinged) {
    const PingStats &p = s.m_Ping;
    bool bAnswered = p.m_nAnswered > 0;
    out += Printf(",\"ping\":{\"hz\":%g,\"sent\":%llu,\"answered\":%llu,"
                  "\"lost\":%llu",
                  p.m_flHz, U(p.m_nSent), U(p.m_nAnswered), U(p.m_nLost));
    out += ",\"p50_ms\":" + JsonMs(bAnswered, p.m_flP50Ms);
    out += ",\"p99_ms\":" + JsonMs(bAnswered, p.m_flP99Ms);
    out += ",\"max_ms\":" + JsonMs(bAnswered, p.m_flMaxMs);
    out += "}";
  } else {
    out += ",\"ping\":null";
  }
  return out + "}\n";
}

std::string FormatHuman(const FloodSummary &s) {
  std::string out = Printf(
      "qgate-flood: %llu datagrams of %u bytes (%llu bytes) to %s from %u "
      "source%s\n",
      U(s.m_nSent), s.m_nSize, U(s.m_nSent * s.m_nSize), s.m_Target.c_str(),
      s.m_nSources, s.m_nSources == 1 ? "" : "s");
  out += Printf("  %.3f s, %.0f datagrams/s, %s sockets, stopped by %s",
                s.m_flSeconds, s.Rate(), s.m_Mode.c_str(),
                s.m_StoppedBy.c_str());
  if (s.m_nSendErrors > 0)
    out += Printf(", %llu sends retried", U(s.m_nSendErrors));
  out += "\n";
  if (!s.m_Note.empty()) out += "  note: " + s.m_Note + "\n";
  if (s.m_bPinged) {
    const PingStats &p = s.m_Ping;
    out += Printf("  ping %g Hz: %llu sent, %llu answered, %llu lost", p.m_flHz,
                  U(p.m_nSent), U(p.m_nAnswered), U(p.m_nLost));
    if (p.m_nAnswered > 0)
      out += Printf("; round trip p50 %.3f ms, p99 %.3f ms, max %.3f ms",
                    p.m_flP50Ms, p.m_flP99Ms, p.m_flMaxMs);
    out += "\n";
  }
  return out;
}

void CProgressBar::Draw(double flDone, uint64_t nSent, double flSeconds,
                        int64_t nNowNs) {
  if (m_bDrawn && nNowNs - m_nLastDrawNs < 100000000) return;
  m_nLastDrawNs = nNowNs;
  m_bDrawn = true;
  if (flDone < 0.0) flDone = 0.0;
  if (flDone > 1.0) flDone = 1.0;
  constexpr int kWidth = 30;
  int nFilled = static_cast<int>(flDone * kWidth);
  char szBar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) szBar[i] = i < nFilled ? '#' : '.';
  szBar[kWidth] = '\0';
  double flRate = flSeconds > 0.0 ? static_cast<double>(nSent) / flSeconds : 0;
  fprintf(m_pOut, "\r[%s] %3d%%  %llu sent  %.0f/s  %.1f s ", szBar,
          static_cast<int>(flDone * 100.0), U(nSent), flRate, flSeconds);
  fflush(m_pOut);
}

void CProgressBar::Clear() {
  if (!m_bDrawn) return;
  fprintf(m_pOut, "\r\033[K");
  fflush(m_pOut);
}

}  // namespace qgflood
