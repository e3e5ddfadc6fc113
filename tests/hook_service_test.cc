// The emulated hook service with the change-broadcast hook glue: real
// virtual tables patched and restored, per-object dispatch on a shared
// table, delegate ownership, handler results and nested hook loops.
#include "emu/host/hook_service.h"

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hooks/bound_callback.h"
#include "hooks/change_broadcast_hook.h"
#include "host/ICvar.h"
#include "tests/null_cvar.h"
#include "plugin/host_handles.h"

using SourceHook::META_RES;
using SourceHook::MRES_HANDLED;
using SourceHook::MRES_IGNORED;
using SourceHook::MRES_OVERRIDE;
using SourceHook::MRES_SUPERCEDE;

typedef __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse HookClass;

namespace {

std::vector<std::string> g_Events;

// A console service whose own broadcast only records that it ran.
class TestCvar : public NullCvar {
 public:
  explicit TestCvar(std::string name) : m_Name(std::move(name)) {}
  void CallGlobalChangeCallbacks(ConVar *, const char *pOldValue,
                                 float) override {
    g_Events.push_back(m_Name + ":own:" + pOldValue);
  }

  std::string m_Name;
};

// Calls through the table as the engine does; the volatile read keeps the
// compiler from calling the implementation directly.
void Broadcast(ICvar *cvar, const char *pOldValue) {
  ICvar *volatile target = cvar;
  target->CallGlobalChangeCallbacks(nullptr, pOldValue, 0.0f);
}

void **TableEntry(ICvar *cvar, int slot) {
  return *reinterpret_cast<void ***>(cvar) + slot;
}

void *HookFunction() {
  return (*reinterpret_cast<void ***>(&HookClass::s_Instance))[0];
}

// The permissions column of /proc/self/maps for the page of `address`.
std::string PagePermissions(const void *address) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  FILE *maps = fopen("/proc/self/maps", "r");
  char line[512];
  std::string perms = "?";
  while (maps != nullptr && fgets(line, sizeof(line), maps) != nullptr) {
    uintptr_t low, high;
    char p[5] = {0};
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &low, &high, p) == 3 &&
        a >= low && a < high) {
      perms = p;
      break;
    }
  }
  if (maps != nullptr) fclose(maps);
  return perms;
}

void PreHandler(ConVar *, const char *pOldValue, float) {
  g_Events.push_back(std::string("pre:") + pOldValue);
}
void PostHandler(ConVar *, const char *pOldValue, float) {
  g_Events.push_back(std::string("post:") + pOldValue);
}

// How often each scripted delegate was ended, by key.
std::map<int, int> g_Deletions;

// A delegate that runs a script and counts its own end.
class ScriptDelegate final : public HookClass::IMyDelegate {
 public:
  typedef std::function<void(const char *pOldValue)> Body;
  ScriptDelegate(int key, Body body) : m_nKey(key), m_Body(std::move(body)) {}
  bool IsEqual(SourceHook::ISHDelegate *other) override {
    return m_nKey == static_cast<ScriptDelegate *>(other)->m_nKey;
  }
  void DeleteThis() override {
    ++g_Deletions[m_nKey];
    delete this;
  }
  void Call(ConVar *, const char *pOldValue, float) override {
    if (m_Body) m_Body(pOldValue);
  }

 private:
  int m_nKey;
  Body m_Body;
};

int RefusingManager(bool, SourceHook::IHookManagerInfo *) { return 1; }

int g_nSilentManagerCalls = 0;
int SilentManager(bool, SourceHook::IHookManagerInfo *) {
  ++g_nSilentManagerCalls;
  return 0;  // accepts, but describes nothing
}

// A second hook manager for the same operation, as another module's copy
// of the glue would be: its own manager-info object and hook function.
SourceHook::IHookManagerInfo *g_pSecondInfo = nullptr;

void SecondHookFunc(void *receiver, ConVar *var, const char *pOldValue,
                    float flOldValue) {
  void *entry = *static_cast<void ***>(receiver) + 10;
  META_RES status = MRES_IGNORED, prev = MRES_IGNORED, cur = MRES_IGNORED;
  void *original = nullptr;
  SourceHook::IHookContext *context = g_pHookService->SetupHookLoop(
      g_pSecondInfo, entry, receiver, &original, &status, &prev, &cur,
      nullptr, nullptr);
  while (SourceHook::ISHDelegate *next = context->GetNext()) {
    static_cast<HookClass::IMyDelegate *>(next)->Call(var, pOldValue,
                                                      flOldValue);
  }
  if (context->ShouldCallOrig()) {
    reinterpret_cast<void (*)(void *, ConVar *, const char *, float)>(
        original)(receiver, var, pOldValue, flOldValue);
  }
  while (context->GetNext() != nullptr) {
  }
  g_pHookService->EndContext(context);
}

void *g_SecondHookTable[1] = {reinterpret_cast<void *>(&SecondHookFunc)};

int SecondManager(bool store, SourceHook::IHookManagerInfo *info) {
  if (store) g_pSecondInfo = info;
  if (info != nullptr) {
    info->SetInfo(1, 0, 10, const_cast<SourceHook::ProtoInfo *>(
                                &HookClass::s_Proto),
                  g_SecondHookTable);
  }
  return 0;
}

class HookServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    g_pHookService = &m_Service;
    g_PluginId = 1;
    g_Events.clear();
    g_Deletions.clear();
  }
  // g_pHookService stays set: the service's destructor still talks to the
  // glue's hook manager, which asks the service for its versions.

  // Attaches a scripted delegate through the glue's hook manager.
  int Attach(SourceHook::Plugin plug, ICvar *cvar, int key, bool post,
             ScriptDelegate::Body body) {
    return m_Service.AddHook(plug, SourceHook::Hook_Normal, cvar, 0,
                             &HookClass::HookManagerEntry,
                             new ScriptDelegate(key, std::move(body)), post);
  }
  bool Detach(SourceHook::Plugin plug, ICvar *cvar, int key, bool post) {
    ScriptDelegate probe(key, nullptr);
    return m_Service.RemoveHook(plug, cvar, 0, &HookClass::HookManagerEntry,
                                &probe, post);
  }
  ScriptDelegate::Body Log(std::string name) {
    return [name](const char *old) { g_Events.push_back(name + ":" + old); };
  }

  CHookService m_Service;
  TestCvar m_A{"a"};
  TestCvar m_B{"b"};
};

TEST_F(HookServiceTest, ReportsVersionFive) {
  EXPECT_EQ(5, m_Service.GetIfaceVersion());
  EXPECT_EQ(5, m_Service.GetImplVersion());
}

TEST_F(HookServiceTest, PatchesTheRealTableAndRestoresIt) {
  void **entry = TableEntry(&m_A, 10);
  void *original = *entry;
  std::string perms = PagePermissions(entry);
  ASSERT_EQ('-', perms[1]) << "tables are read-only after relocation";

  ASSERT_NE(0, AddChangeBroadcastHook(&m_A, 0, false,
                                      BindFreeFunction(&PreHandler)));
  EXPECT_EQ(HookFunction(), *entry);
  EXPECT_EQ(perms, PagePermissions(entry));
  EXPECT_NE(nullptr, HookClass::s_pManagerInfo);

  Broadcast(&m_A, "1");
  EXPECT_EQ((std::vector<std::string>{"pre:1", "a:own:1"}), g_Events);

  EXPECT_TRUE(RemoveChangeBroadcastHook(&m_A, false,
                                        BindFreeFunction(&PreHandler)));
  EXPECT_EQ(original, *entry);
  EXPECT_EQ(perms, PagePermissions(entry));
  EXPECT_EQ(nullptr, HookClass::s_pManagerInfo);  // the manager was told
  EXPECT_EQ(0u, m_Service.CountHooks());

  g_Events.clear();
  Broadcast(&m_A, "2");
  EXPECT_EQ((std::vector<std::string>{"a:own:2"}), g_Events);
}

TEST_F(HookServiceTest, RemoveMatchesPluginSideAndEquality) {
  ASSERT_NE(0, AddChangeBroadcastHook(&m_A, 0, false,
                                      BindFreeFunction(&PreHandler)));
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_A, false,
                                         BindFreeFunction(&PostHandler)));
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_A, true,
                                         BindFreeFunction(&PreHandler)));
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_B, false,
                                         BindFreeFunction(&PreHandler)));
  g_PluginId = 2;
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_A, false,
                                         BindFreeFunction(&PreHandler)));
  g_PluginId = 1;
  EXPECT_EQ(1u, m_Service.CountHooks());
  EXPECT_TRUE(RemoveChangeBroadcastHook(&m_A, false,
                                        BindFreeFunction(&PreHandler)));
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_A, false,
                                         BindFreeFunction(&PreHandler)));
}

TEST_F(HookServiceTest, SharedTableDispatchesOnlyTheReceiversHandlers) {
  void **entry = TableEntry(&m_A, 10);
  ASSERT_EQ(entry, TableEntry(&m_B, 10));  // one class, one table
  void *original = *entry;

  ASSERT_NE(0, Attach(1, &m_A, 1, false, Log("a-pre")));
  Broadcast(&m_B, "x");
  EXPECT_EQ((std::vector<std::string>{"b:own:x"}), g_Events);

  ASSERT_NE(0, Attach(1, &m_B, 2, true, Log("b-post")));
  g_Events.clear();
  Broadcast(&m_A, "y");
  Broadcast(&m_B, "z");
  EXPECT_EQ((std::vector<std::string>{"a-pre:y", "a:own:y", "b:own:z",
                                      "b-post:z"}),
            g_Events);

  // The table stays patched while any object of the class is hooked.
  ASSERT_TRUE(Detach(1, &m_A, 1, false));
  EXPECT_EQ(HookFunction(), *entry);
  g_Events.clear();
  Broadcast(&m_A, "w");
  EXPECT_EQ((std::vector<std::string>{"a:own:w"}), g_Events);

  ASSERT_TRUE(Detach(1, &m_B, 2, true));
  EXPECT_EQ(original, *entry);
}

TEST_F(HookServiceTest, EachDelegateIsEndedExactlyOnce) {
  // Added and removed by an equal probe; the probe is never ended.
  ASSERT_NE(0, Attach(1, &m_A, 1, false, nullptr));
  ASSERT_TRUE(Detach(1, &m_A, 1, false));
  EXPECT_EQ(1, g_Deletions[1]);

  // Refused adds end the delegate at once.
  EXPECT_EQ(0, m_Service.AddHook(1, static_cast<SourceHook::AddHookMode>(1),
                                 &m_A, 0, &HookClass::HookManagerEntry,
                                 new ScriptDelegate(2, nullptr), false));
  EXPECT_EQ(0, m_Service.AddHook(1, SourceHook::Hook_Normal, nullptr, 0,
                                 &HookClass::HookManagerEntry,
                                 new ScriptDelegate(3, nullptr), false));
  EXPECT_EQ(0, m_Service.AddHook(1, SourceHook::Hook_Normal, &m_A, 0,
                                 &RefusingManager,
                                 new ScriptDelegate(4, nullptr), false));
  g_nSilentManagerCalls = 0;
  EXPECT_EQ(0, m_Service.AddHook(1, SourceHook::Hook_Normal, &m_A, 0,
                                 &SilentManager,
                                 new ScriptDelegate(5, nullptr), false));
  EXPECT_EQ(2, g_nSilentManagerCalls);  // asked, then told to let go
  for (int key = 2; key <= 5; ++key) EXPECT_EQ(1, g_Deletions[key]) << key;

  // The service ends what is left when it goes.
  {
    CHookService service;
    g_pHookService = &service;
    ASSERT_NE(0, service.AddHook(1, SourceHook::Hook_Normal, &m_A, 0,
                                 &HookClass::HookManagerEntry,
                                 new ScriptDelegate(6, nullptr), false));
    EXPECT_EQ(0, g_Deletions[6]);
  }
  g_pHookService = &m_Service;
  EXPECT_EQ(1, g_Deletions[6]);
  EXPECT_EQ(0u, m_Service.CountHooks());
}

TEST_F(HookServiceTest, RemovePluginHooksDropsOnlyThatPlugin) {
  void *original = *TableEntry(&m_A, 10);
  ASSERT_NE(0, Attach(1, &m_A, 1, false, Log("p1-a")));
  ASSERT_NE(0, Attach(1, &m_B, 2, true, Log("p1-b")));
  ASSERT_NE(0, Attach(2, &m_A, 3, false, Log("p2-a")));

  m_Service.RemovePluginHooks(1);
  EXPECT_EQ(1, g_Deletions[1]);
  EXPECT_EQ(1, g_Deletions[2]);
  EXPECT_EQ(0, g_Deletions[3]);
  EXPECT_EQ(1u, m_Service.CountHooks());
  Broadcast(&m_A, "1");
  Broadcast(&m_B, "2");
  EXPECT_EQ((std::vector<std::string>{"p2-a:1", "a:own:1", "b:own:2"}),
            g_Events);

  m_Service.RemovePluginHooks(2);
  EXPECT_EQ(1, g_Deletions[3]);
  EXPECT_EQ(original, *TableEntry(&m_A, 10));
  EXPECT_EQ(nullptr, HookClass::s_pManagerInfo);
}

TEST_F(HookServiceTest, HandlerMayRemoveHooksWhileTheLoopRuns) {
  void *original = *TableEntry(&m_A, 10);
  ASSERT_NE(0, Attach(1, &m_A, 1, false, [this](const char *old) {
    g_Events.push_back(std::string("first:") + old);
    // Removes itself and the handler after it, the last hooks there are.
    EXPECT_TRUE(Detach(1, &m_A, 1, false));
    EXPECT_TRUE(Detach(1, &m_A, 2, false));
    EXPECT_EQ(0, g_Deletions[1]);  // still running: not ended yet
  }));
  ASSERT_NE(0, Attach(1, &m_A, 2, false, Log("second")));

  Broadcast(&m_A, "1");
  EXPECT_EQ((std::vector<std::string>{"first:1", "a:own:1"}), g_Events);
  EXPECT_EQ(1, g_Deletions[1]);
  EXPECT_EQ(1, g_Deletions[2]);
  EXPECT_EQ(original, *TableEntry(&m_A, 10));
}

TEST_F(HookServiceTest, HandlersReportResultsThroughTheService) {
  EXPECT_FALSE(m_Service.SetResult(MRES_HANDLED));  // no loop runs

  std::vector<META_RES> seenPrev, seenStatus;
  auto observe = [&](META_RES result) {
    return [&, result](const char *) {
      seenPrev.push_back(m_Service.GetPrevResult());
      seenStatus.push_back(m_Service.GetStatus());
      EXPECT_TRUE(m_Service.SetResult(result));
    };
  };
  ASSERT_NE(0, Attach(1, &m_A, 1, false, observe(MRES_OVERRIDE)));
  ASSERT_NE(0, Attach(1, &m_A, 2, false, observe(MRES_SUPERCEDE)));
  ASSERT_NE(0, Attach(1, &m_A, 3, false, observe(MRES_HANDLED)));
  ASSERT_NE(0, Attach(1, &m_A, 4, true, observe(MRES_IGNORED)));

  Broadcast(&m_A, "1");
  EXPECT_TRUE(g_Events.empty()) << "superseded: the own broadcast is skipped";
  EXPECT_EQ((std::vector<META_RES>{MRES_IGNORED, MRES_OVERRIDE,
                                   MRES_SUPERCEDE, MRES_IGNORED}),
            seenPrev);
  EXPECT_EQ((std::vector<META_RES>{MRES_IGNORED, MRES_OVERRIDE,
                                   MRES_SUPERCEDE, MRES_SUPERCEDE}),
            seenStatus);
}

TEST_F(HookServiceTest, NestedLoopsKeepTheirOwnResults) {
  ASSERT_NE(0, Attach(1, &m_A, 1, false, [this](const char *old) {
    g_Events.push_back(std::string("h1:") + old);
    if (strcmp(old, "outer") == 0) Broadcast(&m_A, "inner");
    m_Service.SetResult(MRES_HANDLED);
  }));
  ASSERT_NE(0, Attach(1, &m_A, 2, false, [this](const char *old) {
    g_Events.push_back(std::string("h2:") + old + ":prev" +
                       std::to_string(m_Service.GetPrevResult()));
    if (strcmp(old, "inner") == 0) m_Service.SetResult(MRES_SUPERCEDE);
  }));

  Broadcast(&m_A, "outer");
  EXPECT_EQ((std::vector<std::string>{"h1:outer", "h1:inner", "h2:inner:prev1",
                                      "h2:outer:prev1", "a:own:outer"}),
            g_Events);
}

TEST_F(HookServiceTest, TwoManagersOnOneEntryUnlinkInEitherOrder) {
  void **entry = TableEntry(&m_A, 10);
  void *original = *entry;
  for (bool bFirstGoesFirst : {true, false}) {
    ASSERT_NE(0, Attach(1, &m_A, 1, false, Log("first")));
    ASSERT_NE(0, m_Service.AddHook(1, SourceHook::Hook_Normal, &m_A, 0,
                                   &SecondManager,
                                   new ScriptDelegate(2, Log("second")),
                                   false));
    EXPECT_EQ(reinterpret_cast<void *>(&SecondHookFunc), *entry);
    g_Events.clear();
    Broadcast(&m_A, "x");
    EXPECT_EQ((std::vector<std::string>{"second:x", "first:x", "a:own:x"}),
              g_Events);

    ScriptDelegate probe(2, nullptr);
    if (bFirstGoesFirst) {
      ASSERT_TRUE(Detach(1, &m_A, 1, false));
    } else {
      ASSERT_TRUE(m_Service.RemoveHook(1, &m_A, 0, &SecondManager, &probe,
                                       false));
    }
    g_Events.clear();
    Broadcast(&m_A, "y");
    EXPECT_EQ((std::vector<std::string>{
                  bFirstGoesFirst ? "second:y" : "first:y", "a:own:y"}),
              g_Events);

    if (bFirstGoesFirst) {
      ASSERT_TRUE(m_Service.RemoveHook(1, &m_A, 0, &SecondManager, &probe,
                                       false));
    } else {
      ASSERT_TRUE(Detach(1, &m_A, 1, false));
    }
    EXPECT_EQ(original, *entry);
    EXPECT_EQ(nullptr, g_pSecondInfo);
    EXPECT_EQ(nullptr, HookClass::s_pManagerInfo);
  }
}

}  // namespace
