// Pacing for --rate: a token bucket on the monotonic clock.
//
// Tokens accrue at m_flRate per second; each datagram takes one.  At most
// m_flBurst whole tokens are ever held, but the fraction of the next token
// is kept when whole ones overflow: a sender that asks a little late (a
// sleep wakes late, the clock is read between batches) loses only idle
// time beyond the burst, never the phase of the schedule, so the achieved
// rate converges on the asked one without drifting below it.  Over any
// interval of T seconds the bucket grants at most rate * T + burst + 1
// tokens, and from its start at most rate * T + 1.  Time is passed in,
// never read here, so the arithmetic can be tested exactly.
#ifndef QUELLGATE_TOOLS_TOKEN_BUCKET_H_
#define QUELLGATE_TOOLS_TOKEN_BUCKET_H_

#include <stdint.h>
#include <time.h>

#include <algorithm>
#include <cmath>

namespace qgflood {

// Nanoseconds on CLOCK_MONOTONIC: unaffected by changes of the wall clock.
inline int64_t MonotonicNanos() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class CTokenBucket {
 public:
  // flRate > 0 tokens per second, at most flBurst whole tokens held at once
  // (rounded down, at least 1).  The bucket starts with one token, so the
  // first datagram leaves at once.
  CTokenBucket(double flRate, double flBurst, int64_t nNowNs)
      : m_flRate(flRate),
        m_flBurst(std::max(1.0, std::floor(flBurst))),
        m_flTokens(1.0),
        m_nLastNs(nNowNs) {}

  // Whole tokens available at nNowNs (which must not go backwards).
  uint64_t Available(int64_t nNowNs) {
    Refill(nNowNs);
    return static_cast<uint64_t>(m_flTokens);
  }

  // Takes n tokens; n must not exceed what Available last returned.
  void Take(uint64_t n) { m_flTokens -= static_cast<double>(n); }

  // The earliest time at which a whole token is available.
  int64_t NextTokenNs() const {
    if (m_flTokens >= 1.0) return m_nLastNs;
    double flWaitNs = (1.0 - m_flTokens) / m_flRate * 1e9;
    return m_nLastNs + static_cast<int64_t>(flWaitNs) + 1;
  }

 private:
  void Refill(int64_t nNowNs) {
    if (nNowNs <= m_nLastNs) return;
    m_flTokens += static_cast<double>(nNowNs - m_nLastNs) * m_flRate * 1e-9;
    if (m_flTokens >= m_flBurst + 1.0)
      m_flTokens = m_flBurst + (m_flTokens - std::floor(m_flTokens));
    m_nLastNs = nNowNs;
  }

  double m_flRate;
  double m_flBurst;
  double m_flTokens;
  int64_t m_nLastNs;
};

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_TOKEN_BUCKET_H_
