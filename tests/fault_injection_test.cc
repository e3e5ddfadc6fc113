// Allocation failure at every allocation site of the library's heap paths
// and of the containers on the engine allocator.  Each test walks
// N = 1, 2, 3, ...: it makes the Nth allocation of one operation fail, runs
// the operation, and checks that it either succeeded or failed soundly
// (nothing lost, nothing half-changed, everything still usable), until an
// N past the operation's last allocation lets it run untouched.  Under the
// sanitize preset the same walk shows that no failure path touches freed or
// foreign memory or leaks.
#include <math.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/convar.h"
#include "console/growable.h"
#include "emu/tier0/tier0_stats.h"
#include "hooks/bound_callback.h"
#include "hooks/change_broadcast_hook.h"
#include "plugin/attackers.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"
#include "tests/plugin_fixture.h"
#include "tests/support/fail_nth_alloc.h"

namespace {

// No operation here makes anywhere near this many allocations.
const int kMaxWalk = 64;

// Calls attempt(n) for n = 1, 2, ... while it answers that the injected
// failure was reached; attempt runs the operation with the nth allocation
// failing and checks the outcome.  Answers how many allocations the
// operation made when none failed.
int WalkFailures(const std::function<bool(int)> &attempt) {
  for (int n = 1; n <= kMaxWalk; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
    if (!attempt(n) || testing::Test::HasFatalFailure()) return n - 1;
  }
  ADD_FAILURE() << "still reaching an injected failure after " << kMaxWalk
                << " allocations";
  return kMaxWalk;
}

// ---- The receive path ----------------------------------------------------

// Every datagram the table holds: its rows and the other-address total;
// also checks that the ring and the index agree.
uint64_t CheckedTableTotal() {
  uint64_t nTotal = g_Attackers.Others();
  int nRows = 0;
  for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
       pNode = pNode->next) {
    const AttackerRecord *pRecord = pNode->record;
    EXPECT_EQ(pRecord,
              g_Attackers.Find(PackAddress(pRecord->octet1, pRecord->octet2,
                                           pRecord->octet3, pRecord->octet4)));
    nTotal += pRecord->packets;
    ++nRows;
  }
  EXPECT_EQ(nRows, g_Attackers.Size());
  EXPECT_LE(nRows, static_cast<int>(AttackerTable::kMaxAddresses));
  return nTotal;
}

// The sender of datagram i of the fill: distinct addresses in 10.0.0.0/8.
void FillSenders(int nSenders) {
  for (int i = 0; i < nSenders; ++i) {
    RecordAttacker(10, (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
  }
}

// One empty datagram from pszSender through the filter; checks the report.
void ReceiveEmpty(const char *pszSender) {
  ScriptSender(pszSender, 0);
  char buf[64];
  memset(buf, 0x77, sizeof buf);
  sockaddr_in from{};
  int nFromLen = sizeof from;
  const int r = FilteredRecvFrom(
      5, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &nFromLen);
  EXPECT_EQ(kEmptyDatagramReportSize, r);
  for (int i = 0; i < kEmptyDatagramReportSize; ++i) ASSERT_EQ(0, buf[i]) << i;
  EXPECT_EQ(0x77, buf[kEmptyDatagramReportSize]);
}

class ReceivePathFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    m_pfnSaved = g_pfnSavedRecvFrom;
    g_pfnSavedRecvFrom = &ScriptedRecvFrom;
    g_pHostApi = &m_Host;
    ClearAttackers();
  }
  void TearDown() override {
    FailNthAlloc(0);
    ClearAttackers();
    g_pfnSavedRecvFrom = m_pfnSaved;
    g_pHostApi = nullptr;
  }

  RecvFromFn m_pfnSaved = nullptr;
  CaptureHost m_Host;
};

struct FillCase {
  const char *pszWhat;
  int nSenders;      // senders already in the table
  int nAllocations;  // what counting one more sender allocates
};

// The table's allocations differ with its fill: the first record takes the
// first index; the 513th grows it; the last address under the bound takes
// a record but no growth; past the bound nothing is allocated.
const FillCase kFillCases[] = {
    {"empty table", 0, 3},  // record, index, node
    {"index growth", 512, 3},
    {"last place under the bound", AttackerTable::kMaxAddresses - 1, 2},
    {"full table", AttackerTable::kMaxAddresses, 0},
};

TEST_F(ReceivePathFaultTest, ANewSenderIsCountedWhateverAllocationFails) {
  for (const FillCase &c : kFillCases) {
    SCOPED_TRACE(c.pszWhat);
    const int nAllocations = WalkFailures([&](int n) -> bool {
      ClearAttackers();
      FillSenders(c.nSenders);
      const uint64_t nBefore = CheckedTableTotal();

      FailNthAlloc(n);
      ReceiveEmpty("127.0.0.9");
      const bool bHit = NthAllocFailed();
      FailNthAlloc(0);

      // The datagram is in the report: in its own row or in the total.
      EXPECT_EQ(nBefore + 1, CheckedTableTotal());
      const AttackerRecord *pRecord =
          g_Attackers.Find(PackAddress(127, 0, 0, 9));
      if (!bHit && c.nSenders < AttackerTable::kMaxAddresses) {
        EXPECT_NE(nullptr, pRecord);
        if (pRecord != nullptr) {
          EXPECT_EQ(1u, pRecord->packets);
        }
        EXPECT_EQ(0u, g_Attackers.Others());
      }
      if (pRecord == nullptr) {
        EXPECT_EQ(1u, g_Attackers.Others());
      }
      // The table goes on counting: the same sender again and a new one.
      ReceiveEmpty("127.0.0.9");
      ReceiveEmpty("127.0.0.10");
      EXPECT_EQ(nBefore + 3, CheckedTableTotal());
      return bHit;
    });
    EXPECT_EQ(c.nAllocations, nAllocations);
  }
}

TEST_F(ReceivePathFaultTest, TheReportIsTheSameWhenItsCopyCannotBeHad) {
  ReceiveEmpty("127.0.0.1");
  ReceiveEmpty("127.0.0.2");
  ReceiveEmpty("127.0.0.1");
  StatusCommand();
  const std::string strExpected = m_Host.TakeOutput();
  ASSERT_NE(std::string::npos, strExpected.find(" 127.0.0.1\t|\t2\n"));

  const int nAllocations = WalkFailures([&](int n) -> bool {
    FailNthAlloc(n);
    StatusCommand();
    const bool bHit = NthAllocFailed();
    FailNthAlloc(0);
    EXPECT_EQ(strExpected, m_Host.TakeOutput());
    return bHit;
  });
  EXPECT_EQ(1, nAllocations);  // the copy of the rows
}

// ---- Console value buffers ------------------------------------------------

int s_nChanges = 0;
std::string s_strOldSeen;

void CountChange(IConVar *var, const char *pszOld, float flOld) {
  ++s_nChanges;
  s_strOldSeen = pszOld;
}

// A variable with an optional upper bound and a counting callback, never
// listed for registration.
class BoundedVar : public ConVar {
 public:
  BoundedVar(const char *pszDefault, bool bHasMax, float flMax)
      : ConVar("fault_var", pszDefault, FCVAR_UNREGISTERED, "") {
    SetUpVariable("fault_var", pszDefault, FCVAR_UNREGISTERED, "", false, 0.0f,
                  bHasMax, flMax, &CountChange);
  }
};

enum SetterKind { kText, kInt, kFloat };

struct ValueCase {
  const char *pszWhat;
  std::string strDefault;
  bool bHasMax;
  float flMax;
  SetterKind kind;
  std::string strText;  // kText
  int nValue;           // kInt
  float flValue;        // kFloat
  std::string strExpected;
};

const std::string kLongOld(300, 'x');

const ValueCase kValueCases[] = {
    {"longer text: a new buffer", "1", false, 0.0f, kText,
     "a value text longer than the first", 0, 0.0f,
     "a value text longer than the first"},
    {"shorter text over a long one: the old text goes to the heap", kLongOld,
     false, 0.0f, kText, "short", 0, 0.0f, "short"},
    {"longer text over a long one", kLongOld, false, 0.0f, kText,
     std::string(600, 'y'), 0, 0.0f, std::string(600, 'y')},
    {"integer with more digits", "1", false, 0.0f, kInt, "", 123456789, 0.0f,
     "123456789"},
    {"float", "1", false, 0.0f, kFloat, "", 0, 2.5f, "2.500000"},
    {"text moved onto a bound", "1", true, 10.0f, kText, "1e9", 0, 0.0f,
     "10.000000"},
};

bool SameFloat(float a, float b) {
  return (isnan(a) && isnan(b)) || memcmp(&a, &b, sizeof a) == 0;
}

TEST(ConsoleValueFaultTest, AFailedBufferKeepsTheOldValueAndTheVariableUsable) {
  ICvar *pSavedCvar = g_pCVar;
  g_pCVar = nullptr;  // no broadcast: only the own callback is watched
  for (const ValueCase &c : kValueCases) {
    SCOPED_TRACE(c.pszWhat);
    const int nAllocations = WalkFailures([&](int n) -> bool {
      BoundedVar var(c.strDefault.c_str(), c.bHasMax, c.flMax);
      const std::string strOld = var.GetString();
      const float flOld = var.GetFloat();
      const int nOld = var.GetInt();
      s_nChanges = 0;

      FailNthAlloc(n);
      switch (c.kind) {
        case kText:
          var.SetValue(c.strText.c_str());
          break;
        case kInt:
          var.SetValue(c.nValue);
          break;
        case kFloat:
          var.SetValue(c.flValue);
          break;
      }
      const bool bHit = NthAllocFailed();
      FailNthAlloc(0);

      if (bHit) {
        // All or nothing: the three forms of the old value, nobody told.
        EXPECT_EQ(strOld, var.GetString());
        EXPECT_TRUE(SameFloat(flOld, var.GetFloat()));
        EXPECT_EQ(nOld, var.GetInt());
        EXPECT_EQ(0, s_nChanges);
      } else {
        EXPECT_EQ(c.strExpected, var.GetString());
        EXPECT_EQ(1, s_nChanges);
        EXPECT_EQ(strOld, s_strOldSeen);
      }
      // Still usable.
      var.SetValue("7");
      EXPECT_STREQ("7", var.GetString());
      EXPECT_EQ(7, var.GetInt());
      return bHit;
    });
    EXPECT_EQ(1, nAllocations);  // the new buffer or the old text's copy
  }
  g_pCVar = pSavedCvar;
}

// ---- The delegate that the add makes -----------------------------------

void IgnoreChange(ConVar *var, const char *pszOld, float flOld) {}

// Holds the delegates it is given, as the host's service does, and ends
// each with DeleteThis.  Allocates nothing itself, so that every allocation
// of the add is the glue's.
class HoldingHookService : public RefusingHookService {
 public:
  ~HoldingHookService() { DropAll(); }
  int AddHook(SourceHook::Plugin, SourceHook::AddHookMode, void *, int,
              SourceHook::HookManagerPubFunc, SourceHook::ISHDelegate *handler,
              bool) override {
    if (m_nHeld == kCapacity) {
      handler->DeleteThis();
      return 0;
    }
    m_pHeld[m_nHeld++] = handler;
    return 42;
  }
  bool RemoveHook(SourceHook::Plugin, void *, int,
                  SourceHook::HookManagerPubFunc,
                  SourceHook::ISHDelegate *handler, bool) override {
    for (int i = 0; i < m_nHeld; ++i) {
      if (m_pHeld[i]->IsEqual(handler)) {
        m_pHeld[i]->DeleteThis();
        m_pHeld[i] = m_pHeld[--m_nHeld];
        return true;
      }
    }
    return false;
  }
  void DropAll() {
    while (m_nHeld > 0) m_pHeld[--m_nHeld]->DeleteThis();
  }
  int Held() const { return m_nHeld; }

 private:
  enum { kCapacity = 4 };
  SourceHook::ISHDelegate *m_pHeld[kCapacity] = {};
  int m_nHeld = 0;
};

TEST(DelegateFaultTest, AFailedDelegateAttachesNothing) {
  HoldingHookService service;
  SourceHook::ISourceHook *pSavedService = g_pHookService;
  g_pHookService = &service;
  int nServiceObject = 0;  // only its address is passed on

  const int nAllocations = WalkFailures([&](int n) -> bool {
    FailNthAlloc(n);
    const int32_t nResult = AddChangeBroadcastHook(
        &nServiceObject, 0, false, BindFreeFunction(&IgnoreChange));
    const bool bHit = NthAllocFailed();
    FailNthAlloc(0);

    if (bHit) {
      EXPECT_EQ(0, nResult);
      EXPECT_EQ(0, service.Held());
    } else {
      EXPECT_EQ(42, nResult);
      EXPECT_EQ(1, service.Held());
    }
    // The removal matches what was attached, and only that.
    EXPECT_EQ(!bHit,
              RemoveChangeBroadcastHook(&nServiceObject, false,
                                        BindFreeFunction(&IgnoreChange)));
    EXPECT_EQ(0, service.Held());
    return bHit;
  });
  EXPECT_EQ(1, nAllocations);  // the delegate
  g_pHookService = pSavedService;
}

// ---- Containers on the engine allocator -----------------------------------

// Runs op with the engine allocator's nth allocation failing; answers
// whether that allocation was reached.
bool WithEngineFailure(int n, const std::function<void()> &op) {
  const int64_t nBefore = Tier0_GetMemStats().m_nAllocs;
  Tier0_FailNthAlloc(n);
  op();
  Tier0_FailNthAlloc(0);
  return Tier0_GetMemStats().m_nAllocs - nBefore >= n;
}

std::vector<int> Contents(const CGrowableVector<int> &v) {
  return std::vector<int>(v.Base(), v.Base() + v.Count());
}

std::vector<std::string> Contents(const CGrowableVector<CTextString> &v) {
  std::vector<std::string> result;
  for (int i = 0; i < v.Count(); ++i) result.push_back(v[i].Get());
  return result;
}

struct VectorCase {
  const char *pszWhat;
  int nGrowSize;
  int nFill;      // elements before the insertion
  int nIndex;     // where to insert
  bool bAliased;  // the value is an element of the vector itself
};

// Fills chosen so that the insertion needs a larger block: the first block,
// a doubling, a fixed step.
const VectorCase kVectorCases[] = {
    {"first block", 0, 0, 0, false},
    {"doubling, at the end", 0, 8, 8, false},
    {"doubling, in front, own element", 0, 8, 0, true},
    {"fixed step, in the middle", 5, 5, 2, false},
};

TEST(ContainerFaultTest, AFailedGrowthLeavesTheVectorAsItWas) {
  for (const VectorCase &c : kVectorCases) {
    SCOPED_TRACE(c.pszWhat);
    const int nAllocations = WalkFailures([&](int n) -> bool {
      CGrowableVector<int> v(c.nGrowSize);
      for (int i = 0; i < c.nFill; ++i) v.Append(100 + i);
      // Full, so that one more element needs growth.
      while (v.Count() < v.Capacity()) v.Append(100 + v.Count());
      const std::vector<int> before = Contents(v);
      const int nCapacity = v.Capacity();
      std::vector<int> expected = before;
      const int nValue = c.bAliased ? before.back() : 7;
      expected.insert(expected.begin() + c.nIndex, nValue);

      int nResult = 0;
      const bool bHit = WithEngineFailure(n, [&] {
        nResult = v.InsertAt(c.nIndex, c.bAliased ? v[v.Count() - 1] : nValue);
      });
      if (bHit) {
        EXPECT_EQ(-1, nResult);
        EXPECT_EQ(before, Contents(v));
        EXPECT_EQ(nCapacity, v.Capacity());
      } else {
        EXPECT_EQ(c.nIndex, nResult);
        EXPECT_EQ(expected, Contents(v));
      }
      // Still usable.
      v.Append(9);
      EXPECT_EQ(9, v[v.Count() - 1]);
      return bHit;
    });
    EXPECT_EQ(1, nAllocations);
  }
}

TEST(ContainerFaultTest, TextVectorKeepsWholeTextsOnly) {
  const int nAllocations = WalkFailures([&](int n) -> bool {
    CGrowableVector<CTextString> v;
    v.Append("first");
    while (v.Count() < v.Capacity()) v.Append("more");
    const std::vector<std::string> before = Contents(v);

    int nResult = 0;
    const bool bHit =
        WithEngineFailure(n, [&] { nResult = v.Append("a suggestion text"); });
    std::vector<std::string> after = Contents(v);
    if (nResult < 0) {
      EXPECT_TRUE(bHit);
      EXPECT_EQ(before, after);
    } else {
      // The element is there; its text is whole, or empty when the text's
      // own block could not be had (the text keeps only what fits).
      EXPECT_EQ(before.size() + 1, after.size());
      if (after.size() != before.size() + 1) return false;
      const std::string strAdded = after.back();
      after.pop_back();
      EXPECT_EQ(before, after);
      if (bHit) {
        EXPECT_TRUE(strAdded == "a suggestion text" || strAdded.empty())
            << strAdded;
      } else {
        EXPECT_EQ("a suggestion text", strAdded);
      }
    }
    v.Append("later");
    EXPECT_STREQ("later", v[v.Count() - 1].Get());
    return bHit;
  });
  // The text made from the argument, the vector's block, the element.
  EXPECT_EQ(3, nAllocations);
}

TEST(ContainerFaultTest, ByteBlockKeepsWhatFits) {
  const std::string strLong(100, 'b');
  const int nAllocations = WalkFailures([&](int n) -> bool {
    CByteBlock block;
    block.Set("abcd", 4);
    const int nCapacity = block.Capacity();
    const bool bHit = WithEngineFailure(n, [&] {
      block.Set(strLong.data(), static_cast<int>(strLong.size()));
    });
    if (bHit) {
      // The block could not grow: what fits, and never past its capacity.
      EXPECT_EQ(nCapacity, block.Capacity());
      EXPECT_EQ(std::min(nCapacity, 100), block.Length());
    } else {
      EXPECT_EQ(100, block.Length());
    }
    EXPECT_EQ(0, memcmp(block.Base(), strLong.data(),
                        static_cast<size_t>(block.Length())));
    block.Set("xy", 2);
    EXPECT_EQ(2, block.Length());
    EXPECT_EQ(0, memcmp(block.Base(), "xy", 2));
    return bHit;
  });
  EXPECT_EQ(1, nAllocations);
}

}  // namespace
