// Console variables: the three value forms, bounds, notifications, the
// value buffer, and the placeholder variable.
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include "console/convar.h"
#include "gtest/gtest.h"
#include "tests/console_test_cvar.h"

// The test links with -Wl,--wrap=malloc, so the module heap that value
// buffers come from can be counted and made to fail.
extern "C" void *__real_malloc(size_t nSize);

namespace {
int s_nMallocs = 0;
int s_nFailIn = 0;  // > 0: the Nth malloc from now answers null
}  // namespace

extern "C" __attribute__((visibility("default"))) void *__wrap_malloc(
    size_t nSize) {
  if (s_nFailIn > 0 && --s_nFailIn == 0) return nullptr;
  ++s_nMallocs;
  return __real_malloc(nSize);
}

namespace {

// Both receivers of a change, in the order they ran.
struct Notification {
  enum Source { kOwnCallback, kBroadcast } m_Source;
  const void *m_pVar;
  std::string m_OldValue;
  float m_flOldValue;
};
std::vector<Notification> s_Log;

void OwnCallback(IConVar *var, const char *pOldValue, float flOldValue) {
  s_Log.push_back(
      Notification{Notification::kOwnCallback, var, pOldValue, flOldValue});
}

// A variable whose protected operations and fields the tests may reach.
// Never listed: these tests do not run a registration walk.
class TestConVar : public ConVar {
 public:
  explicit TestConVar(const char *pszDefault, int nFlags = 0)
      : ConVar("test_var", pszDefault, nFlags | FCVAR_UNREGISTERED,
               "help") {}

  void SetUpWith(const char *pszDefault, int nFlags, bool bHasMin,
                 float flMin, bool bHasMax, float flMax, VarChangeFn pfn) {
    SetUpVariable("test_var", pszDefault, nFlags | FCVAR_UNREGISTERED, "help",
                  bHasMin, flMin, bHasMax, flMax, pfn);
  }

  using ConVar::ApplyColor;
  using ConVar::ApplyFloat;
  using ConVar::ApplyInt;
  using ConVar::ApplyText;
  using ConVar::ClampToBounds;
  using ConVar::ReplaceText;

  const char *RawText() const { return m_pszValue; }
  int ValueSize() const { return m_nValueSize; }
};

class ConVarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_Log.clear();
    g_pCVar = &m_Service;
    m_Service.m_pOnBroadcast = [](ConVar *var) {
      s_Log.push_back(Notification{Notification::kBroadcast, var, "", 0});
    };
  }
  void TearDown() override {
    g_pCVar = nullptr;
    s_nFailIn = 0;
  }

  RecordingCvar m_Service;
};

enum Op { kText, kFloat, kInt, kColor };

struct ValueCase {
  const char *m_pszLabel;
  const char *m_pszDefault;
  bool m_bHasMin;
  float m_flMin;
  bool m_bHasMax;
  float m_flMax;
  Op m_Op;
  const char *m_pszText;  // kText
  double m_dNumber;       // kFloat, kInt, kColor (as the word)
  // Expected afterwards; a null text means the C library's own spelling.
  const char *m_pszExpectedText;
  float m_flExpected;
  int m_nExpectedInt;
  bool m_bNotifies;
};

const float kNaN = NAN;

const ValueCase kValueCases[] = {
    // Texts.
    {"not a number", "5", false, 0, false, 0, kText, "abc", 0, "abc", 0, 0,
     true},
    {"same text again", "5", false, 0, false, 0, kText, "5", 0, "5", 5, 5,
     true},
    {"leading blanks, longest prefix", "0", false, 0, false, 0, kText,
     " 12.75xyz", 0, " 12.75xyz", 12.75f, 12, true},
    {"negative truncates toward zero", "0", false, 0, false, 0, kText, "-3.9",
     0, "-3.9", -3.9f, -3, true},
    {"beyond 32 bits", "0", false, 0, false, 0, kText, "1e30", 0, "1e30",
     1e30f, INT_MIN, true},
    {"above upper bound", "0.5", true, 0, true, 1, kText, "5", 0, "1.000000",
     1, 1, true},
    {"below lower bound", "0.5", true, 0, true, 1, kText, "-1", 0, "0.000000",
     0, 0, true},
    {"equal to a bound", "0.5", true, 0, true, 1, kText, "1", 0, "1", 1, 1,
     true},
    {"crossed bounds, lower wins", "0", true, 5, true, 1, kText, "3", 0,
     "5.000000", 5, 5, true},
    {"crossed bounds, upper", "0", true, 5, true, 1, kText, "7", 0,
     "1.000000", 1, 1, true},
    {"only an upper bound", "0", false, 0, true, 10, kText, "-50", 0, "-50",
     -50, -50, true},
    // Floats.
    {"float equal to current", "2", false, 0, false, 0, kFloat, nullptr, 2,
     "2", 2, 2, false},
    {"float", "2", false, 0, false, 0, kFloat, nullptr, 0.5, "0.500000", 0.5f,
     0, true},
    {"float NaN", "2", false, 0, false, 0, kFloat, nullptr, kNaN, nullptr,
     kNaN, INT_MIN, true},
    {"float above bound", "0", true, 0, true, 1, kFloat, nullptr, 3,
     "1.000000", 1, 1, true},
    {"float huge, text cut to 31", "0", false, 0, false, 0, kFloat, nullptr,
     1e30, "1000000015047466219876688855040", 1e30f, INT_MIN, true},
    // Integers.
    {"int equal to current", "3", false, 0, false, 0, kInt, nullptr, 3, "3", 3,
     3, false},
    {"int above bound", "0", true, 0, true, 1, kInt, nullptr, 7, "1", 1, 1,
     true},
    {"int 2^24 + 1", "0", false, 0, false, 0, kInt, nullptr, 16777217,
     "16777217", 16777216.0f, 16777217, true},
    {"int below crossed bounds", "0", true, 5, true, 1, kInt, nullptr, 2, "5",
     5, 5, true},
    // Colours: the word read as a signed integer.
    {"colour", "0", false, 0, false, 0, kColor, nullptr, 0xFFFFFFFFu, "-1", -1,
     -1, true},
    {"colour equal to current", "255", false, 0, false, 0, kColor, nullptr,
     255, "255", 255, 255, false},
};

class ConVarValueTest : public ConVarTest,
                        public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ConVarValueTest, StoresAllThreeFormsAndNotifies) {
  const ValueCase &test = GetParam();
  TestConVar var("unused");
  var.SetUpWith(test.m_pszDefault, 0, test.m_bHasMin, test.m_flMin,
                test.m_bHasMax, test.m_flMax, &OwnCallback);
  const float flOldValue = var.GetFloat();

  IConVar *pView = &var;
  switch (test.m_Op) {
    case kText:
      pView->SetValue(test.m_pszText);
      break;
    case kFloat:
      pView->SetValue(static_cast<float>(test.m_dNumber));
      break;
    case kInt:
      pView->SetValue(static_cast<int>(test.m_dNumber));
      break;
    case kColor:
      pView->SetValue(PackedColor{
          static_cast<uint32_t>(static_cast<int64_t>(test.m_dNumber))});
      break;
  }

  if (test.m_pszExpectedText != nullptr) {
    EXPECT_STREQ(var.GetString(), test.m_pszExpectedText);
  }
  if (isnan(test.m_flExpected)) {
    EXPECT_TRUE(isnan(var.GetFloat()));
  } else {
    EXPECT_EQ(var.GetFloat(), test.m_flExpected);
  }
  EXPECT_EQ(var.GetInt(), test.m_nExpectedInt);
  EXPECT_GE(var.ValueSize(), static_cast<int>(strlen(var.GetString())) + 1);

  if (!test.m_bNotifies) {
    EXPECT_TRUE(s_Log.empty());
    return;
  }
  ASSERT_EQ(s_Log.size(), 2u);
  EXPECT_EQ(s_Log[0].m_Source, Notification::kOwnCallback);
  EXPECT_EQ(s_Log[0].m_pVar, static_cast<const void *>(pView));
  EXPECT_EQ(s_Log[0].m_OldValue, test.m_pszDefault);
  EXPECT_EQ(s_Log[0].m_flOldValue, flOldValue);
  EXPECT_EQ(s_Log[1].m_Source, Notification::kBroadcast);
  EXPECT_EQ(s_Log[1].m_pVar, static_cast<const void *>(&var));
  ASSERT_EQ(m_Service.m_Broadcasts.size(), 1u);
  EXPECT_EQ(m_Service.m_Broadcasts[0].m_OldValue, test.m_pszDefault);
  EXPECT_EQ(m_Service.m_Broadcasts[0].m_flOldValue, flOldValue);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConVarValueTest,
                         ::testing::ValuesIn(kValueCases));

TEST_F(ConVarTest, DefaultIsStoredUnclampedAndSilently) {
  struct Case {
    const char *m_pszDefault;
    float m_flValue;
    int m_nIntValue;
  };
  static const Case kCases[] = {
      {"16777217", 16777216.0f, 16777217},  // the integer from the double
      {"9", 9, 9},                          // above the upper bound
      {nullptr, 0, 0},                      // read back as the empty text
      {"-2.5", -2.5f, -2},
  };
  for (const Case &test : kCases) {
    SCOPED_TRACE(test.m_pszDefault != nullptr ? test.m_pszDefault : "null");
    TestConVar var("unused");
    var.SetUpWith(test.m_pszDefault, 0, true, 0, true, 1, &OwnCallback);
    const char *pszText = test.m_pszDefault != nullptr ? test.m_pszDefault : "";
    EXPECT_STREQ(var.GetString(), pszText);
    EXPECT_STREQ(var.GetDefault(), pszText);
    EXPECT_EQ(var.GetFloat(), test.m_flValue);
    EXPECT_EQ(var.GetInt(), test.m_nIntValue);
    EXPECT_EQ(var.ValueSize(), static_cast<int>(strlen(pszText)) + 1);
  }
  EXPECT_TRUE(s_Log.empty());
}

TEST_F(ConVarTest, ClampingIsStrict) {
  struct Case {
    float m_flMin, m_flMax, m_flIn, m_flOut;
    bool m_bClamped;
  };
  static const Case kCases[] = {
      {0, 1, 0, 0, false}, {0, 1, 1, 1, false},  {0, 1, -0.5f, 0, true},
      {0, 1, 2, 1, true},  {5, 1, 3, 5, true},    {5, 1, 0, 5, true},
      {5, 1, 7, 1, true},
  };
  TestConVar var("0");
  for (const Case &test : kCases) {
    var.SetUpWith("0", 0, true, test.m_flMin, true, test.m_flMax, nullptr);
    float flValue = test.m_flIn;
    EXPECT_EQ(var.ClampToBounds(flValue), test.m_bClamped) << test.m_flIn;
    EXPECT_EQ(flValue, test.m_flOut);
  }
  float flNaN = NAN;
  EXPECT_FALSE(var.ClampToBounds(flNaN));
  EXPECT_TRUE(isnan(flNaN));
}

TEST_F(ConVarTest, RepeatedFloatBeyondBoundNotifiesEveryTime) {
  TestConVar var("unused");
  var.SetUpWith("0", 0, false, 0, true, 1, nullptr);
  for (int i = 0; i < 3; ++i) var.SetValue(5.0f);
  EXPECT_EQ(m_Service.m_Broadcasts.size(), 3u);
  EXPECT_EQ(m_Service.m_Broadcasts[2].m_OldValue, "1.000000");
  EXPECT_EQ(var.GetFloat(), 1.0f);
}

TEST_F(ConVarTest, NeverAsStringKeepsTheTextAndNotifiesNobody) {
  TestConVar var("7", FCVAR_NEVER_AS_STRING);
  var.SetValue("12");
  EXPECT_EQ(var.GetFloat(), 12.0f);
  var.SetValue(3.5f);
  EXPECT_EQ(var.GetInt(), 3);
  var.SetValue(9);
  EXPECT_EQ(var.GetInt(), 9);
  EXPECT_EQ(var.GetFloat(), 9.0f);
  EXPECT_STREQ(var.RawText(), "7");
  EXPECT_STREQ(var.GetString(), "FCVAR_NEVER_AS_STRING");
  EXPECT_TRUE(s_Log.empty());
}

TEST_F(ConVarTest, BufferGrowsToExactSizeAndNeverShrinks) {
  struct Step {
    const char *m_pszText;
    int m_nSize;
  };
  static const Step kSteps[] = {
      {"abcdef", 7}, {"x", 7}, {"abcdefg", 8}, {"", 8}, {"0123456789", 11},
  };
  TestConVar var("ab");
  EXPECT_EQ(var.ValueSize(), 3);
  for (const Step &step : kSteps) {
    var.SetValue(step.m_pszText);
    EXPECT_STREQ(var.GetString(), step.m_pszText);
    EXPECT_EQ(var.ValueSize(), step.m_nSize) << step.m_pszText;
  }
}

// Ordinary old texts are copied to the stack; long ones to the heap, so a
// value of megabytes cannot overflow the stack.
TEST_F(ConVarTest, LongValuesPassTheirOldTextIntact) {
  struct Case {
    size_t m_nLength;
    int m_nMallocsOnReuse;  // for a same-length change
  };
  static const Case kCases[] = {
      {10, 0}, {255, 0}, {256, 1}, {1000, 1}, {4u << 20, 1},
  };
  for (const Case &test : kCases) {
    SCOPED_TRACE(test.m_nLength);
    const std::string first(test.m_nLength, 'a');
    const std::string second(test.m_nLength, 'b');
    TestConVar var("0");
    var.SetValue(first.c_str());
    m_Service.m_Broadcasts.clear();

    const int nMallocs = s_nMallocs;
    var.SetValue(second.c_str());
    EXPECT_EQ(s_nMallocs - nMallocs, test.m_nMallocsOnReuse);
    EXPECT_EQ(var.GetString(), second);
    ASSERT_EQ(m_Service.m_Broadcasts.size(), 1u);
    EXPECT_EQ(m_Service.m_Broadcasts[0].m_OldValue, first);
  }
}

// A value may be set from its own text.
TEST_F(ConVarTest, SettingItsOwnTextKeepsIt) {
  TestConVar var("some text");
  var.SetValue(var.GetString());
  EXPECT_STREQ(var.GetString(), "some text");
  ASSERT_EQ(m_Service.m_Broadcasts.size(), 1u);
  EXPECT_EQ(m_Service.m_Broadcasts[0].m_OldValue, "some text");
}

// When the module heap cannot supply a buffer, the variable keeps its old
// text and numbers, notifies nobody, and works again afterwards.
TEST_F(ConVarTest, FailedBufferKeepsTheOldValue) {
  struct Case {
    const char *m_pszLabel;
    size_t m_nOldLength;  // the value before the change
    size_t m_nNewLength;  // the text set
  };
  static const Case kCases[] = {
      {"growing buffer", 2, 40},
      {"long old text copy", 1000, 900},
  };
  for (const Case &test : kCases) {
    SCOPED_TRACE(test.m_pszLabel);
    const std::string before(test.m_nOldLength, '1');
    const std::string after(test.m_nNewLength, '2');
    TestConVar var("0");
    var.SetUpWith("0", 0, false, 0, false, 0, &OwnCallback);
    var.SetValue(before.c_str());
    s_Log.clear();
    const float flBefore = var.GetFloat();
    const int nBefore = var.GetInt();

    s_nFailIn = 1;
    var.SetValue(after.c_str());
    EXPECT_EQ(var.GetString(), before);
    EXPECT_EQ(var.GetFloat(), flBefore);
    EXPECT_EQ(var.GetInt(), nBefore);
    EXPECT_TRUE(s_Log.empty());

    var.SetValue(after.c_str());
    EXPECT_EQ(var.GetString(), after);
    EXPECT_EQ(s_Log.size(), 2u);
  }

  // A rejected integer change can be repeated: the numbers were put back.
  TestConVar var("1");
  s_nFailIn = 1;
  var.SetValue(1234567);
  EXPECT_EQ(var.GetInt(), 1);
  EXPECT_STREQ(var.GetString(), "1");
  var.SetValue(1234567);
  EXPECT_EQ(var.GetInt(), 1234567);
  EXPECT_STREQ(var.GetString(), "1234567");
}

TEST_F(ConVarTest, FailedBufferAtCreationLeavesAUsableVariable) {
  s_nFailIn = 1;
  TestConVar var("42");
  EXPECT_STREQ(var.GetString(), "");
  EXPECT_EQ(var.GetInt(), 42);
  EXPECT_STREQ(var.GetDefault(), "42");
  var.SetValue("43");
  EXPECT_STREQ(var.GetString(), "43");
  ASSERT_EQ(m_Service.m_Broadcasts.size(), 1u);
  EXPECT_EQ(m_Service.m_Broadcasts[0].m_OldValue, "");
}

TEST_F(ConVarTest, NoConsoleServiceSkipsOnlyTheBroadcast) {
  g_pCVar = nullptr;
  TestConVar var("unused");
  var.SetUpWith("0", 0, false, 0, false, 0, &OwnCallback);
  var.SetValue("1");
  ASSERT_EQ(s_Log.size(), 1u);
  EXPECT_EQ(s_Log[0].m_Source, Notification::kOwnCallback);
  EXPECT_STREQ(var.GetString(), "1");
}

TEST_F(ConVarTest, IConVarViewActsOnTheVariable) {
  TestConVar var("0", 0x20);
  IConVar *pView = &var;
  EXPECT_STREQ(pView->GetName(), "test_var");
  EXPECT_STREQ(pView->GetRootName(), "test_var");
  EXPECT_TRUE(pView->HasFlag(0x20));
  EXPECT_FALSE(pView->HasFlag(0x40));
  EXPECT_EQ(pView->GetIndex(), 0);
  EXPECT_FALSE(var.IsCommand());
  EXPECT_STREQ(var.GetHelpText(), "help");
}

TEST_F(ConVarTest, PlaceholderIgnoresEverySetter) {
  IConVar *pView = &s_EmptyVariable;
  pView->SetValue("5");
  pView->SetValue(5.0f);
  pView->SetValue(5);
  pView->SetValue(PackedColor{5});
  EXPECT_STREQ(s_EmptyVariable.GetString(), "0");
  EXPECT_EQ(s_EmptyVariable.GetInt(), 0);
  EXPECT_STREQ(s_EmptyVariable.GetName(), "");
  EXPECT_STREQ(pView->GetName(), "");
  EXPECT_FALSE(s_EmptyVariable.HasFlag(~0));
  EXPECT_FALSE(pView->HasFlag(~0));
  ConCommandBase *pBase = &s_EmptyVariable;
  EXPECT_FALSE(pBase->HasFlag(~0));
  EXPECT_STREQ(pBase->GetName(), "");
  EXPECT_TRUE(s_Log.empty());
}

}  // namespace
