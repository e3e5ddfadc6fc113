// The console controls in-process: the switch variable's transitions, the
// handler's indifference to other variables, and what Load and Unload leave
// behind, against a hook service that runs the attached handlers before
// the console service's own broadcast, as the real one does.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/convar.h"
#include "hooks/change_broadcast_hook.h"
#include "plugin/controls.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"
#include "plugin/quellgate.h"
#include "tests/plugin_fixture.h"

namespace {

typedef __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse HookClass;

const char kEnable[] = "[-] Quellgate - Enable\n";
const char kDisable[] = "[-] Quellgate - Disable\n";

// Keeps the attached delegates and runs them on Broadcast; records what
// the filter was when a handler was detached.
class ScriptedHookService : public RefusingHookService {
 public:
  std::vector<SourceHook::ISHDelegate *> m_Delegates;
  std::vector<bool> m_FilterOnAtRemove;

  int AddHook(SourceHook::Plugin, SourceHook::AddHookMode, void *, int,
              SourceHook::HookManagerPubFunc,
              SourceHook::ISHDelegate *handler, bool post) override {
    EXPECT_FALSE(post);
    m_Delegates.push_back(handler);
    return 1;
  }
  bool RemoveHook(SourceHook::Plugin, void *, int,
                  SourceHook::HookManagerPubFunc,
                  SourceHook::ISHDelegate *handler, bool) override {
    m_FilterOnAtRemove.push_back(g_bFilterEnabled);
    for (size_t i = 0; i < m_Delegates.size(); ++i) {
      if (m_Delegates[i]->IsEqual(handler)) {
        m_Delegates[i]->DeleteThis();
        m_Delegates.erase(m_Delegates.begin() + i);
        return true;
      }
    }
    return false;
  }
  void Broadcast(ConVar *var, const char *pOldValue, float flOldValue) {
    for (SourceHook::ISHDelegate *d : m_Delegates)
      static_cast<HookClass::IMyDelegate *>(d)->Call(var, pOldValue, flOldValue);
  }
};

class HookedCvar : public RecordingCvar {
 public:
  ScriptedHookService *m_pHooks = nullptr;
  void CallGlobalChangeCallbacks(ConVar *var, const char *pOldValue,
                                 float flOldValue) override {
    m_pHooks->Broadcast(var, pOldValue, flOldValue);
    RecordingCvar::CallGlobalChangeCallbacks(var, pOldValue, flOldValue);
  }
};

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pVCR->Hook_recvfrom = &ScriptedRecvFrom;
    m_Cvar.m_pHooks = &m_Hooks;
    m_Host.m_pConsoleService = &m_Cvar;
    m_Host.m_pHookService = &m_Hooks;
  }
  void TearDown() override {
    if (g_pHostApi == nullptr) g_pHostApi = &m_Host;
    g_Quellgate.Unload(nullptr, 0);
    for (SourceHook::ISHDelegate *d : m_Hooks.m_Delegates) d->DeleteThis();
  }
  void Set(ConVar *var, const char *text) {
    static_cast<IConVar *>(var)->SetValue(text);
  }

  CaptureHost m_Host;
  HookedCvar m_Cvar;
  ScriptedHookService m_Hooks;
};

TEST_F(ControlsTest, LoadMakesTheControlsAndAttachesTheHandler) {
  char error[64];
  ASSERT_TRUE(g_Quellgate.Load(1, &m_Host, error, sizeof error, false));
  ASSERT_NE(g_pEnableVar, nullptr);
  EXPECT_STREQ(g_pEnableVar->GetName(), "qgat_enable");
  EXPECT_STREQ(g_pEnableVar->GetString(), "1");
  EXPECT_EQ(g_pCVar, &m_Cvar);
  EXPECT_EQ(m_Hooks.m_Delegates.size(), 1u);
  EXPECT_GE(m_Host.m_nRegistrations, 3);
}

// Each step sets "qgat_enable" from the text the step before left.
TEST_F(ControlsTest, SwitchVariableTurnsTheFilterOnlyOnRealChanges) {
  struct Step {
    const char *text;
    const char *printed;
    bool filter_on;
  } steps[] = {
      {"1", "", true},         // the same text again
      {"0", kDisable, false},  {"1", kEnable, true},
      {"2", kDisable, false},  {"0", "", false},  // already off
      {"1", kEnable, true},    {"1.0", "", true},  // integer 1, already on
      {"1.5", "", true},       {"-1", kDisable, false},
      {"on", "", false},       // a word reads as 0
      {"1", kEnable, true},
  };
  char error[64];
  ASSERT_TRUE(g_Quellgate.Load(1, &m_Host, error, sizeof error, false));
  m_Host.TakeOutput();
  for (const Step &s : steps) {
    SCOPED_TRACE(s.text);
    Set(g_pEnableVar, s.text);
    EXPECT_EQ(m_Host.TakeOutput(), s.printed);
    EXPECT_EQ(g_bFilterEnabled, s.filter_on);
    EXPECT_EQ(g_pVCR->Hook_recvfrom == &FilteredRecvFrom, s.filter_on);
  }
}

TEST_F(ControlsTest, OtherVariablesAreIgnored) {
  char error[64];
  ASSERT_TRUE(g_Quellgate.Load(1, &m_Host, error, sizeof error, false));
  ConVar other("qgat_other", "1", 0, "");
  m_Host.TakeOutput();
  for (const char *text : {"0", "2", "1"}) {
    Set(&other, text);
    EXPECT_EQ(m_Host.TakeOutput(), "");
    EXPECT_TRUE(g_bFilterEnabled);
  }
  EXPECT_GE(m_Cvar.m_Broadcasts.size(), 3u) << "the service's own broadcast still runs";
}

TEST_F(ControlsTest, UnloadDetachesTheHandlerBeforeTheFilterGoesOff) {
  char error[64];
  ASSERT_TRUE(g_Quellgate.Load(1, &m_Host, error, sizeof error, false));
  ConVar *pSwitch = g_pEnableVar;
  ASSERT_TRUE(g_Quellgate.Unload(nullptr, 0));
  ASSERT_EQ(m_Hooks.m_FilterOnAtRemove.size(), 1u);
  EXPECT_TRUE(m_Hooks.m_FilterOnAtRemove[0]);
  EXPECT_TRUE(m_Hooks.m_Delegates.empty());
  m_Host.TakeOutput();
  // The variable outlives the plugin's load; changing it does nothing now.
  Set(pSwitch, "0");
  Set(pSwitch, "1");
  EXPECT_EQ(m_Host.TakeOutput(), "");
  EXPECT_EQ(g_pVCR->Hook_recvfrom, &ScriptedRecvFrom);
}

// (That a failed first load registers nothing is shown in a fresh library
// by plugin_registration_test.)
TEST_F(ControlsTest, FailedLoadLeavesNoHookAndNoSwitch) {
  struct Case {
    bool has_cvar;
    bool has_hooks;
  } cases[] = {{false, true}, {true, false}, {false, false}};
  for (const Case &c : cases) {
    m_Host.m_pConsoleService = c.has_cvar ? &m_Cvar : nullptr;
    m_Host.m_pHookService = c.has_hooks ? &m_Hooks : nullptr;
    ConVar *pSwitchBefore = g_pEnableVar;
    char error[64];
    EXPECT_FALSE(g_Quellgate.Load(1, &m_Host, error, sizeof error, false));
    EXPECT_TRUE(m_Hooks.m_Delegates.empty());
    EXPECT_EQ(g_pEnableVar, pSwitchBefore) << "no switch variable is made";
  }
}

}  // namespace
