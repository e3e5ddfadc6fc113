// A thread other than the host's own that may be running plugin code: the
// engine's network thread, which calls the receive entry that a plugin may
// have replaced with a function of its library.  The host parks such a
// thread while a plugin library is opened, loaded, unloaded or closed, so
// that no thread is inside a library when it goes away.
#ifndef QUELLGATE_EMU_HOST_QUIESCE_H_
#define QUELLGATE_EMU_HOST_QUIESCE_H_

class IQuiesce {
 public:
  virtual ~IQuiesce() = default;
  // Returns once the other thread is outside every plugin function and will
  // enter none until the matching Resume.  Pairs nest: the thread runs again
  // after the last Resume.  Never called from the parked thread itself.
  virtual void Pause() = 0;
  virtual void Resume() = 0;
};

// Pauses for the life of the object; a null target does nothing.
class CQuiesceScope {
 public:
  explicit CQuiesceScope(IQuiesce *pTarget) : m_pTarget(pTarget) {
    if (m_pTarget != nullptr) m_pTarget->Pause();
  }
  ~CQuiesceScope() {
    if (m_pTarget != nullptr) m_pTarget->Resume();
  }
  CQuiesceScope(const CQuiesceScope &) = delete;
  CQuiesceScope &operator=(const CQuiesceScope &) = delete;

 private:
  IQuiesce *m_pTarget;
};

#endif  // QUELLGATE_EMU_HOST_QUIESCE_H_
