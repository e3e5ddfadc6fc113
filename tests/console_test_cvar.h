// A console service for tests: records what the framework hands it.
#ifndef QUELLGATE_TESTS_CONSOLE_TEST_CVAR_H_
#define QUELLGATE_TESTS_CONSOLE_TEST_CVAR_H_

#include <string>
#include <vector>

#include "tests/null_cvar.h"

class RecordingCvar : public NullCvar {
 public:
  struct Broadcast {
    ConVar *m_pVar;
    std::string m_OldValue;
    float m_flOldValue;
  };

  explicit RecordingCvar(int nModuleId = 42) : m_nModuleId(nModuleId) {}

  int AllocateDLLIdentifier() override {
    ++m_nIdentifierCalls;
    return m_nModuleId;
  }
  void RegisterConCommand(ConCommandBase *pCommandBase) override {
    m_Registered.push_back(pCommandBase);
  }
  void CallGlobalChangeCallbacks(ConVar *var, const char *pOldValue,
                                 float flOldValue) override {
    m_Broadcasts.push_back(Broadcast{var, pOldValue, flOldValue});
    if (m_pOnBroadcast != nullptr) m_pOnBroadcast(var);
  }

  int m_nModuleId;
  int m_nIdentifierCalls = 0;
  std::vector<ConCommandBase *> m_Registered;
  std::vector<Broadcast> m_Broadcasts;
  void (*m_pOnBroadcast)(ConVar *var) = nullptr;
};

#endif  // QUELLGATE_TESTS_CONSOLE_TEST_CVAR_H_
