// A short lock for the attacker table.  Taking it uncontended costs one
// atomic exchange, and releasing it one plain store, which is all the
// receive path can afford per empty datagram.  A waiter spins briefly, then
// yields its processor.
#ifndef QUELLGATE_PLUGIN_SPIN_LOCK_H_
#define QUELLGATE_PLUGIN_SPIN_LOCK_H_

#include <atomic>

class SpinLock {
 public:
  constexpr SpinLock() : m_bLocked(false) {}
  SpinLock(const SpinLock &) = delete;
  SpinLock &operator=(const SpinLock &) = delete;

  void Lock() {
    if (__builtin_expect(!m_bLocked.exchange(true, std::memory_order_acquire), 1)) {
      return;
    }
    LockSlow();
  }
  void Unlock() { m_bLocked.store(false, std::memory_order_release); }

 private:
  void LockSlow();

  std::atomic<bool> m_bLocked;
};

// Holds a SpinLock for the life of a scope.
class SpinLockHolder {
 public:
  explicit SpinLockHolder(SpinLock *pLock) : m_pLock(pLock) { m_pLock->Lock(); }
  ~SpinLockHolder() { m_pLock->Unlock(); }
  SpinLockHolder(const SpinLockHolder &) = delete;
  SpinLockHolder &operator=(const SpinLockHolder &) = delete;

 private:
  SpinLock *m_pLock;
};

#endif  // QUELLGATE_PLUGIN_SPIN_LOCK_H_
