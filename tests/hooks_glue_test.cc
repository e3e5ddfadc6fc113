// The change-broadcast hook glue against a scripted hook service: the
// hook-manager entry, the hook loop of the hook function, the add and
// remove operations, and the bound callbacks and delegates they carry.
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hooks/bound_callback.h"
#include "hooks/change_broadcast_hook.h"
#include "plugin/host_handles.h"

using SourceHook::META_RES;
using SourceHook::MRES_HANDLED;
using SourceHook::MRES_IGNORED;
using SourceHook::MRES_OVERRIDE;
using SourceHook::MRES_SUPERCEDE;

typedef __SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse HookClass;

// Lets a test make the library's nothrow allocations fail.
static bool g_bFailNothrowNew = false;
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  if (g_bFailNothrowNew) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

// Every event of one hooked call, in order.
std::vector<std::string> g_Events;

uint32_t Bits(float f) {
  uint32_t bits;
  memcpy(&bits, &f, sizeof(bits));
  return bits;
}

class RecordingManagerInfo : public SourceHook::IHookManagerInfo {
 public:
  void SetInfo(int hookman_version, int vtbloffs, int vtblidx,
               SourceHook::ProtoInfo *proto, void *hookfunc_vfnptr) override {
    ++m_nCalls;
    m_nVersion = hookman_version;
    m_nTableOffset = vtbloffs;
    m_nSlot = vtblidx;
    m_pProto = proto;
    m_pHookFuncEntry = hookfunc_vfnptr;
  }
  int m_nCalls = 0;
  int m_nVersion = -1;
  int m_nTableOffset = -1;
  int m_nSlot = -1;
  SourceHook::ProtoInfo *m_pProto = nullptr;
  void *m_pHookFuncEntry = nullptr;
};

// What a handler and the original saw of one call.
struct Seen {
  void *receiver = nullptr;
  ConVar *var = nullptr;
  const char *pOldValue = nullptr;
  uint32_t floatBits = 0;
};

class ScriptedService;
ScriptedService *g_pScripted = nullptr;

// A handler that records what it saw on entry and leaves a result in the
// current-result word, as a handler of a real service would through it.
class ScriptedDelegate final : public HookClass::IMyDelegate {
 public:
  ScriptedDelegate(std::string name, META_RES result)
      : m_Name(std::move(name)), m_Result(result) {}
  bool IsEqual(SourceHook::ISHDelegate *other) override {
    return this == other;
  }
  void DeleteThis() override { ++m_nDeleted; }
  void Call(ConVar *var, const char *pOldValue, float flOldValue) override;

  std::string m_Name;
  META_RES m_Result;
  META_RES m_SeenPrev = static_cast<META_RES>(-1);
  META_RES m_SeenCur = static_cast<META_RES>(-1);
  META_RES m_SeenStatus = static_cast<META_RES>(-1);
  Seen m_Seen;
  int m_nDeleted = 0;
};

class ScriptedContext : public SourceHook::IHookContext {
 public:
  SourceHook::ISHDelegate *GetNext() override {
    ++m_nGetNext;
    if (m_nNext < m_Sequence.size()) return m_Sequence[m_nNext++];
    return nullptr;
  }
  bool ShouldCallOrig() override {
    ++m_nAsked;
    g_Events.push_back("ask");
    return m_bCallOrig;
  }
  // Pre-handlers, null, post-handlers, null.
  std::vector<SourceHook::ISHDelegate *> m_Sequence;
  size_t m_nNext = 0;
  int m_nGetNext = 0;
  int m_nAsked = 0;
  bool m_bCallOrig = true;
};

class ScriptedService : public SourceHook::ISourceHook {
 public:
  int GetIfaceVersion() override { return m_nIface; }
  int GetImplVersion() override { return m_nImpl; }
  int AddHook(SourceHook::Plugin plug, SourceHook::AddHookMode mode,
              void *iface, int thisptr_offs,
              SourceHook::HookManagerPubFunc myHookMan,
              SourceHook::ISHDelegate *handler, bool post) override {
    ++m_nAddCalls;
    m_AddPlug = plug;
    m_AddMode = mode;
    m_pAddIface = iface;
    m_nAddOffset = thisptr_offs;
    m_pfnAddManager = myHookMan;
    m_bAddPost = post;
    m_Held.push_back(handler);
    return m_nAddResult;
  }
  bool RemoveHook(SourceHook::Plugin plug, void *iface, int thisptr_offs,
                  SourceHook::HookManagerPubFunc myHookMan,
                  SourceHook::ISHDelegate *handler, bool post) override {
    ++m_nRemoveCalls;
    m_RemovePlug = plug;
    m_pRemoveIface = iface;
    m_nRemoveOffset = thisptr_offs;
    m_pfnRemoveManager = myHookMan;
    m_bRemovePost = post;
    for (size_t i = 0; i < m_Held.size(); ++i) {
      if (m_Held[i]->IsEqual(handler)) {
        m_Held[i]->DeleteThis();
        m_Held.erase(m_Held.begin() + i);
        return true;
      }
    }
    return false;
  }
  SourceHook::IHookContext *SetupHookLoop(
      SourceHook::IHookManagerInfo *hi, void *vfnptr, void *thisptr,
      void **origCallAddr, META_RES *statusPtr, META_RES *prevResPtr,
      META_RES *curResPtr, const void *origRetPtr,
      void *overrideRetPtr) override {
    ++m_nSetupCalls;
    m_pLoopInfo = hi;
    m_pLoopEntry = vfnptr;
    m_pLoopThis = thisptr;
    m_pOrigRet = origRetPtr;
    m_pOverrideRet = overrideRetPtr;
    m_pStatus = statusPtr;
    m_pPrevRes = prevResPtr;
    m_pCurRes = curResPtr;
    *origCallAddr = m_pfnOriginal;
    return &m_Context;
  }
  void EndContext(SourceHook::IHookContext *ctx) override {
    ++m_nEndCalls;
    m_pEndedContext = ctx;
    m_FinalStatus = *m_pStatus;
    g_Events.push_back("end");
  }
  ~ScriptedService() {
    for (SourceHook::ISHDelegate *held : m_Held) held->DeleteThis();
  }

  int m_nIface = 5;
  int m_nImpl = 5;
  int m_nAddResult = 1;
  int m_nAddCalls = 0;
  SourceHook::Plugin m_AddPlug = -1;
  SourceHook::AddHookMode m_AddMode = SourceHook::Hook_Normal;
  void *m_pAddIface = nullptr;
  int m_nAddOffset = -1;
  SourceHook::HookManagerPubFunc m_pfnAddManager = nullptr;
  bool m_bAddPost = true;
  std::vector<SourceHook::ISHDelegate *> m_Held;
  int m_nRemoveCalls = 0;
  SourceHook::Plugin m_RemovePlug = -1;
  void *m_pRemoveIface = nullptr;
  int m_nRemoveOffset = -1;
  SourceHook::HookManagerPubFunc m_pfnRemoveManager = nullptr;
  bool m_bRemovePost = true;

  void *m_pfnOriginal = nullptr;
  int m_nSetupCalls = 0;
  int m_nEndCalls = 0;
  SourceHook::IHookManagerInfo *m_pLoopInfo = nullptr;
  void *m_pLoopEntry = nullptr;
  void *m_pLoopThis = nullptr;
  const void *m_pOrigRet = reinterpret_cast<const void *>(1);
  void *m_pOverrideRet = reinterpret_cast<void *>(1);
  META_RES *m_pStatus = nullptr;
  META_RES *m_pPrevRes = nullptr;
  META_RES *m_pCurRes = nullptr;
  SourceHook::IHookContext *m_pEndedContext = nullptr;
  META_RES m_FinalStatus = static_cast<META_RES>(-1);
  ScriptedContext m_Context;
};

void ScriptedDelegate::Call(ConVar *var, const char *pOldValue,
                            float flOldValue) {
  g_Events.push_back(m_Name);
  m_SeenPrev = *g_pScripted->m_pPrevRes;
  m_SeenCur = *g_pScripted->m_pCurRes;
  m_SeenStatus = *g_pScripted->m_pStatus;
  m_Seen.var = var;
  m_Seen.pOldValue = pOldValue;
  m_Seen.floatBits = Bits(flOldValue);
  *g_pScripted->m_pCurRes = m_Result;
}

Seen g_OriginalSeen;

// Stands in for the console service's own operation: a member operation
// entered with its receiver first.
void OriginalBroadcast(void *receiver, ConVar *var, const char *pOldValue,
                       float flOldValue) {
  g_Events.push_back("orig");
  g_OriginalSeen.receiver = receiver;
  g_OriginalSeen.var = var;
  g_OriginalSeen.pOldValue = pOldValue;
  g_OriginalSeen.floatBits = Bits(flOldValue);
}

// An object laid out as a hooked console service: its table pointer first,
// the change broadcast in slot 10 of the table.
struct FakeHookedObject {
  void **pTable;
};
void *g_FakeTable[11] = {};

// Enters the hook function as the patched table would: receiver first.
void EnterHookFunc(void *receiver, ConVar *var, const char *pOldValue,
                   float flOldValue) {
  void **table = *reinterpret_cast<void ***>(&HookClass::s_Instance);
  reinterpret_cast<void (*)(void *, ConVar *, const char *, float)>(table[0])(
      receiver, var, pOldValue, flOldValue);
}

class GlueTest : public testing::Test {
 protected:
  void SetUp() override {
    g_pScripted = &m_Service;
    g_pHookService = &m_Service;
    g_PluginId = 42;
    g_Events.clear();
    g_OriginalSeen = Seen();
    HookClass::s_pManagerInfo = nullptr;
    m_Service.m_pfnOriginal = reinterpret_cast<void *>(&OriginalBroadcast);
    m_Object.pTable = g_FakeTable;
  }
  void TearDown() override {
    g_pHookService = nullptr;
    g_pScripted = nullptr;
    HookClass::s_pManagerInfo = nullptr;
  }

  ScriptedService m_Service;
  FakeHookedObject m_Object;
};

// The hook-manager entry.

TEST_F(GlueTest, ManagerEntryVersionChecks) {
  struct VersionCase {
    int iface;
    int impl;
    int expected;
  };
  const VersionCase cases[] = {
      {5, 5, 0}, {4, 5, 1}, {6, 5, 1}, {5, 4, 1}, {5, 6, 0}, {5, -1, 1},
  };
  for (const VersionCase &c : cases) {
    m_Service.m_nIface = c.iface;
    m_Service.m_nImpl = c.impl;
    RecordingManagerInfo info;
    SourceHook::IHookManagerInfo *before =
        reinterpret_cast<SourceHook::IHookManagerInfo *>(&m_Object);
    HookClass::s_pManagerInfo = before;
    HookClass::s_HookedSlot = MethodSlotInfo{false, 0, 0, 0};
    EXPECT_EQ(c.expected, HookClass::HookManagerEntry(true, &info))
        << c.iface << "/" << c.impl;
    // The slot record is refreshed whatever the outcome.
    EXPECT_TRUE(HookClass::s_HookedSlot.valid);
    EXPECT_EQ(10, HookClass::s_HookedSlot.slotIndex);
    if (c.expected == 1) {
      EXPECT_EQ(before, HookClass::s_pManagerInfo);
      EXPECT_EQ(0, info.m_nCalls);
    } else {
      EXPECT_EQ(&info, HookClass::s_pManagerInfo);
      EXPECT_EQ(1, info.m_nCalls);
    }
  }
}

TEST_F(GlueTest, ManagerEntryStoreAndNullCases) {
  struct StoreCase {
    bool store;
    bool withInfo;
    bool expectStored;   // s_pManagerInfo takes the argument
    bool expectSetInfo;
  };
  const StoreCase cases[] = {
      {true, true, true, true},
      {false, true, false, true},
      {true, false, true, false},
      {false, false, false, false},
  };
  for (const StoreCase &c : cases) {
    RecordingManagerInfo info;
    SourceHook::IHookManagerInfo *before =
        reinterpret_cast<SourceHook::IHookManagerInfo *>(&m_Object);
    HookClass::s_pManagerInfo = before;
    SourceHook::IHookManagerInfo *arg = c.withInfo ? &info : nullptr;
    EXPECT_EQ(0, HookClass::HookManagerEntry(c.store, arg));
    EXPECT_EQ(c.expectStored ? arg : before, HookClass::s_pManagerInfo);
    EXPECT_EQ(c.expectSetInfo ? 1 : 0, info.m_nCalls);
  }
}

TEST_F(GlueTest, ManagerEntryDescribesHookedOperationAndHookFunction) {
  RecordingManagerInfo info;
  ASSERT_EQ(0, HookClass::HookManagerEntry(true, &info));
  EXPECT_EQ(1, info.m_nVersion);
  EXPECT_EQ(0, info.m_nTableOffset);
  EXPECT_EQ(10, info.m_nSlot);
  EXPECT_EQ(&HookClass::s_Proto, info.m_pProto);
  // The hook function's entry is the first entry of the class's table.
  void **table = *reinterpret_cast<void ***>(&HookClass::s_Instance);
  EXPECT_EQ(static_cast<void *>(table), info.m_pHookFuncEntry);
}

TEST(ProtoTest, DescribesThreeParametersByValue) {
  const SourceHook::ProtoInfo &proto = HookClass::s_Proto;
  EXPECT_EQ(3, proto.numOfParams);
  EXPECT_EQ(0, proto.retPassInfo.size);
  EXPECT_EQ(0, proto.retPassInfo.type);
  EXPECT_EQ(0, proto.retPassInfo.flags);
  EXPECT_EQ(0, proto.convention);
  const int32_t sizes[4] = {1, static_cast<int32_t>(sizeof(void *)),
                            static_cast<int32_t>(sizeof(void *)), 4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sizes[i], proto.paramsPassInfo[i].size) << i;
    EXPECT_EQ(0, proto.paramsPassInfo[i].type) << i;
    EXPECT_EQ(i == 0 ? 0 : 1, proto.paramsPassInfo[i].flags) << i;
    EXPECT_EQ(nullptr, proto.paramsPassInfo2[i].pNormalCtor);
    EXPECT_EQ(nullptr, proto.paramsPassInfo2[i].pCopyCtor);
    EXPECT_EQ(nullptr, proto.paramsPassInfo2[i].pDtor);
    EXPECT_EQ(nullptr, proto.paramsPassInfo2[i].pAssignOperator);
  }
  EXPECT_EQ(nullptr, proto.retPassInfo2.pNormalCtor);
  EXPECT_EQ(nullptr, proto.retPassInfo2.pAssignOperator);
}

// The hook loop.

struct LoopCase {
  const char *name;
  std::vector<META_RES> pre;
  std::vector<META_RES> post;
  bool shouldCallOrig;
  bool expectOriginal;
  bool expectAsked;
  META_RES expectPreStatus;    // what the post-handlers are measured against
  META_RES expectFinalStatus;
};

const LoopCase kLoopCases[] = {
    {"no_handlers", {}, {}, true, true, true, MRES_IGNORED, MRES_IGNORED},
    {"no_handlers_refused", {}, {}, false, false, true, MRES_IGNORED,
     MRES_IGNORED},
    {"ignored", {MRES_IGNORED}, {}, true, true, true, MRES_IGNORED,
     MRES_IGNORED},
    {"handled", {MRES_HANDLED}, {}, true, true, true, MRES_HANDLED,
     MRES_HANDLED},
    {"override", {MRES_OVERRIDE}, {}, true, true, true, MRES_OVERRIDE,
     MRES_OVERRIDE},
    {"supercede", {MRES_SUPERCEDE}, {MRES_IGNORED}, true, false, false,
     MRES_SUPERCEDE, MRES_SUPERCEDE},
    {"supercede_then_lower", {MRES_SUPERCEDE, MRES_HANDLED, MRES_IGNORED},
     {}, true, false, false, MRES_SUPERCEDE, MRES_SUPERCEDE},
    {"never_lowered", {MRES_HANDLED, MRES_OVERRIDE, MRES_IGNORED},
     {MRES_HANDLED}, true, true, true, MRES_OVERRIDE, MRES_OVERRIDE},
    {"orig_refused_post_runs", {MRES_HANDLED}, {MRES_IGNORED, MRES_HANDLED},
     false, false, true, MRES_HANDLED, MRES_HANDLED},
    {"post_raises_status", {MRES_IGNORED}, {MRES_OVERRIDE, MRES_SUPERCEDE},
     true, true, true, MRES_IGNORED, MRES_SUPERCEDE},
};

class HookLoopTest : public GlueTest,
                     public testing::WithParamInterface<LoopCase> {};

TEST_P(HookLoopTest, ResultRules) {
  const LoopCase &c = GetParam();
  std::vector<std::unique_ptr<ScriptedDelegate>> pre, post;
  ScriptedContext &context = m_Service.m_Context;
  for (size_t i = 0; i < c.pre.size(); ++i) {
    pre.emplace_back(new ScriptedDelegate("pre" + std::to_string(i), c.pre[i]));
    context.m_Sequence.push_back(pre.back().get());
  }
  context.m_Sequence.push_back(nullptr);
  for (size_t i = 0; i < c.post.size(); ++i) {
    post.emplace_back(
        new ScriptedDelegate("post" + std::to_string(i), c.post[i]));
    context.m_Sequence.push_back(post.back().get());
  }
  context.m_Sequence.push_back(nullptr);
  context.m_bCallOrig = c.shouldCallOrig;

  RecordingManagerInfo info;
  ASSERT_EQ(0, HookClass::HookManagerEntry(true, &info));
  ConVar *var = reinterpret_cast<ConVar *>(&info);
  const char *old = "old";
  EnterHookFunc(&m_Object, var, old, 2.5f);

  // The events in order.
  std::vector<std::string> expected;
  for (auto &d : pre) expected.push_back(d->m_Name);
  if (c.expectAsked) expected.push_back("ask");
  if (c.expectOriginal) expected.push_back("orig");
  for (auto &d : post) expected.push_back(d->m_Name);
  expected.push_back("end");
  EXPECT_EQ(expected, g_Events);
  EXPECT_EQ(c.expectAsked ? 1 : 0, context.m_nAsked);
  EXPECT_EQ(1, m_Service.m_nSetupCalls);
  EXPECT_EQ(1, m_Service.m_nEndCalls);
  EXPECT_EQ(&context, m_Service.m_pEndedContext);
  EXPECT_EQ(c.expectFinalStatus, m_Service.m_FinalStatus);

  // What the loop handed the service.
  EXPECT_EQ(&info, m_Service.m_pLoopInfo);
  EXPECT_EQ(static_cast<void *>(&g_FakeTable[10]), m_Service.m_pLoopEntry);
  EXPECT_EQ(static_cast<void *>(&m_Object), m_Service.m_pLoopThis);
  EXPECT_EQ(nullptr, m_Service.m_pOrigRet);
  EXPECT_EQ(nullptr, m_Service.m_pOverrideRet);
  if (c.expectOriginal) {
    EXPECT_EQ(static_cast<void *>(&m_Object), g_OriginalSeen.receiver);
    EXPECT_EQ(var, g_OriginalSeen.var);
    EXPECT_EQ(old, g_OriginalSeen.pOldValue);
  }

  // Each handler starts from IGNORED and sees the result of the handler
  // before it in the same loop; the post-handlers start from the status
  // that the pre-handlers left.
  for (auto *list : {&pre, &post}) {
    META_RES prev = MRES_IGNORED;
    META_RES status = list == &pre ? MRES_IGNORED : c.expectPreStatus;
    for (auto &d : *list) {
      EXPECT_EQ(MRES_IGNORED, d->m_SeenCur) << d->m_Name;
      EXPECT_EQ(prev, d->m_SeenPrev) << d->m_Name;
      EXPECT_EQ(status, d->m_SeenStatus) << d->m_Name;
      EXPECT_EQ(var, d->m_Seen.var);
      EXPECT_EQ(old, d->m_Seen.pOldValue);
      prev = d->m_Result;
      if (d->m_Result > status) status = d->m_Result;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, HookLoopTest, testing::ValuesIn(kLoopCases),
    [](const testing::TestParamInfo<LoopCase> &info) {
      return std::string(info.param.name);
    });

TEST_F(GlueTest, FloatBitsReachHandlersAndOriginalUnchanged) {
  const float kValues[] = {
      -0.0f,
      std::numeric_limits<float>::infinity(),
      -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(),
      -std::numeric_limits<float>::quiet_NaN(),
      1.5f,
  };
  // A quiet NaN with a payload.
  uint32_t payloadNaN = 0x7FC12345u;
  std::vector<float> values(std::begin(kValues), std::end(kValues));
  float f;
  memcpy(&f, &payloadNaN, sizeof(f));
  values.push_back(f);

  ScriptedDelegate pre("pre", MRES_IGNORED);
  ScriptedDelegate post("post", MRES_IGNORED);
  RecordingManagerInfo info;
  ASSERT_EQ(0, HookClass::HookManagerEntry(true, &info));
  for (float value : values) {
    ScriptedContext &context = m_Service.m_Context;
    context.m_Sequence = {&pre, nullptr, &post, nullptr};
    context.m_nNext = 0;
    g_OriginalSeen = Seen();
    EnterHookFunc(&m_Object, nullptr, "x", value);
    EXPECT_EQ(Bits(value), pre.m_Seen.floatBits) << Bits(value);
    EXPECT_EQ(Bits(value), g_OriginalSeen.floatBits) << Bits(value);
    EXPECT_EQ(Bits(value), post.m_Seen.floatBits) << Bits(value);
  }
}

// Add and remove.

void HandlerA(ConVar *, const char *, float) {}
void HandlerB(ConVar *, const char *, float) {}

TEST_F(GlueTest, AddPassesItsArgumentsAndTheResultBack) {
  m_Service.m_nAddResult = 7;
  EXPECT_EQ(7, AddChangeBroadcastHook(&m_Object, 0, false,
                                      BindFreeFunction(&HandlerA)));
  EXPECT_EQ(1, m_Service.m_nAddCalls);
  EXPECT_EQ(42, m_Service.m_AddPlug);
  EXPECT_EQ(SourceHook::Hook_Normal, m_Service.m_AddMode);
  EXPECT_EQ(static_cast<void *>(&m_Object), m_Service.m_pAddIface);
  EXPECT_EQ(0, m_Service.m_nAddOffset);
  EXPECT_EQ(&HookClass::HookManagerEntry, m_Service.m_pfnAddManager);
  EXPECT_FALSE(m_Service.m_bAddPost);
  ASSERT_EQ(1u, m_Service.m_Held.size());
  auto *held = static_cast<HookClass::CMyDelegateImpl *>(m_Service.m_Held[0]);
  EXPECT_TRUE(held->handler() == BindFreeFunction(&HandlerA));

  m_Service.m_nAddResult = 0;
  EXPECT_EQ(0, AddChangeBroadcastHook(&m_Object, 0, true,
                                      BindFreeFunction(&HandlerB)));
  EXPECT_TRUE(m_Service.m_bAddPost);
}

TEST_F(GlueTest, RemoveFindsTheAddedDelegateByEquality) {
  ASSERT_EQ(1, AddChangeBroadcastHook(&m_Object, 0, false,
                                      BindFreeFunction(&HandlerA)));
  // Never added: the service finds no match.
  EXPECT_FALSE(RemoveChangeBroadcastHook(&m_Object, false,
                                         BindFreeFunction(&HandlerB)));
  EXPECT_EQ(1u, m_Service.m_Held.size());
  EXPECT_TRUE(RemoveChangeBroadcastHook(&m_Object, false,
                                        BindFreeFunction(&HandlerA)));
  EXPECT_TRUE(m_Service.m_Held.empty());
  EXPECT_EQ(42, m_Service.m_RemovePlug);
  EXPECT_EQ(static_cast<void *>(&m_Object), m_Service.m_pRemoveIface);
  EXPECT_EQ(0, m_Service.m_nRemoveOffset);
  EXPECT_EQ(&HookClass::HookManagerEntry, m_Service.m_pfnRemoveManager);
  EXPECT_FALSE(m_Service.m_bRemovePost);
}

TEST_F(GlueTest, AddWithoutMemoryAttachesNothing) {
  g_bFailNothrowNew = true;
  int32_t result =
      AddChangeBroadcastHook(&m_Object, 0, false, BindFreeFunction(&HandlerA));
  g_bFailNothrowNew = false;
  EXPECT_EQ(0, result);
  EXPECT_EQ(0, m_Service.m_nAddCalls);
}

// Bound callbacks and delegates.

struct CallRecord {
  int nCalls = 0;
  Seen seen;
};
CallRecord g_HandlerCalls;

void CountingHandler(ConVar *var, const char *pOldValue, float flOldValue) {
  ++g_HandlerCalls.nCalls;
  g_HandlerCalls.seen.var = var;
  g_HandlerCalls.seen.pOldValue = pOldValue;
  g_HandlerCalls.seen.floatBits = Bits(flOldValue);
}

TEST(BoundCallbackTest, BindingAndEquality) {
  BoundCallback empty;
  EXPECT_TRUE(empty.IsEmpty());
  BoundCallback nullBinding = BindFreeFunction(nullptr);
  EXPECT_TRUE(nullBinding.IsEmpty());
  EXPECT_TRUE(nullBinding == BindFreeFunction(nullptr));

  BoundCallback a = BindFreeFunction(&HandlerA);
  EXPECT_EQ(reinterpret_cast<void *>(&HandlerA), a.m_pObject);
  EXPECT_EQ(&FreeFunctionInvoker, a.m_pMethod);
  EXPECT_TRUE(a == BindFreeFunction(&HandlerA));
  EXPECT_TRUE(a != BindFreeFunction(&HandlerB));
  EXPECT_TRUE(a != empty);
  BoundCallback copy = a;
  EXPECT_TRUE(copy == a);
}

TEST(DelegateTest, EqualityFollowsTheCallback) {
  struct EqualityCase {
    FnConVarChangeHandler left;
    FnConVarChangeHandler right;
    bool equal;
  };
  const EqualityCase cases[] = {
      {&HandlerA, &HandlerA, true},
      {&HandlerA, &HandlerB, false},
      {nullptr, nullptr, true},
      {&HandlerA, nullptr, false},
  };
  for (const EqualityCase &c : cases) {
    HookClass::CMyDelegateImpl left(BindFreeFunction(c.left));
    HookClass::CMyDelegateImpl right(BindFreeFunction(c.right));
    EXPECT_EQ(c.equal, left.IsEqual(&right));
    EXPECT_EQ(c.equal, right.IsEqual(&left));
  }
}

TEST(DelegateTest, CallPassesArgumentsOnceUnchanged) {
  g_HandlerCalls = CallRecord();
  HookClass::CMyDelegateImpl delegate(BindFreeFunction(&CountingHandler));
  ConVar *var = reinterpret_cast<ConVar *>(&delegate);
  const char *old = "0";
  static_cast<HookClass::IMyDelegate &>(delegate).Call(var, old, -0.0f);
  EXPECT_EQ(1, g_HandlerCalls.nCalls);
  EXPECT_EQ(var, g_HandlerCalls.seen.var);
  EXPECT_EQ(old, g_HandlerCalls.seen.pOldValue);
  EXPECT_EQ(0x80000000u, g_HandlerCalls.seen.floatBits);
}

TEST(DelegateTest, DeleteThisFreesWithoutCalling) {
  g_HandlerCalls = CallRecord();
  SourceHook::ISHDelegate *delegate =
      new HookClass::CMyDelegateImpl(BindFreeFunction(&CountingHandler));
  delegate->DeleteThis();  // the address sanitizer sees any leak or reuse
  EXPECT_EQ(0, g_HandlerCalls.nCalls);
}

}  // namespace
