#include "plugin/spin_lock.h"

#include <sched.h>

void SpinLock::LockSlow() {
  for (int nSpins = 0;; ++nSpins) {
    // Wait on a plain load, so waiters do not fight over the cache line,
    // then try the exchange again.
    while (m_bLocked.load(std::memory_order_relaxed)) {
      if (nSpins < 64) {
        __builtin_ia32_pause();
        ++nSpins;
      } else {
        sched_yield();
      }
    }
    if (!m_bLocked.exchange(true, std::memory_order_acquire)) return;
  }
}
