// Console commands: handler dispatch and completion rows.
#include <string.h>

#include <string>
#include <vector>

#include "console/concommand.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"

// The console service's argument record; the framework only passes it on.
class CCommandArgs {
 public:
  int m_nTag;
};

namespace {

// What the handlers saw.
int s_nPlainCalls = 0;
const CCommandArgs *s_pArgsSeen = nullptr;

void PlainHandler() { ++s_nPlainCalls; }
void ArgsHandler(const CCommandArgs &args) { s_pArgsSeen = &args; }

class RecordingHandler : public ICommandHandler {
 public:
  void HandleCommand(const CCommandArgs &args) override { m_pArgs = &args; }
  const CCommandArgs *m_pArgs = nullptr;
};

// Objects here are never listed: no registration walk runs in this test.
constexpr int kFlags = FCVAR_UNREGISTERED;

TEST(ConCommandTest, ExecuteRunsTheHandlerInItsForm) {
  CCommandArgs args{7};
  s_nPlainCalls = 0;
  s_pArgsSeen = nullptr;

  ConCommand plain("plain", &PlainHandler, "", kFlags);
  plain.Execute(args);
  EXPECT_EQ(s_nPlainCalls, 1);

  ConCommand takesArgs("args", &ArgsHandler, "", kFlags);
  takesArgs.Execute(args);
  EXPECT_EQ(s_pArgsSeen, &args);
  EXPECT_EQ(s_nPlainCalls, 1);

  RecordingHandler handler;
  ConCommand object("object", &handler, "", kFlags);
  object.Execute(args);
  EXPECT_EQ(handler.m_pArgs, &args);
}

TEST(ConCommandTest, NullHandlerIgnoresExecute) {
  CCommandArgs args{0};
  ConCommand plain("plain", static_cast<PlainCommandFn>(nullptr), "", kFlags);
  ConCommand takesArgs("args", static_cast<ArgsCommandFn>(nullptr), "",
                       kFlags);
  ConCommand object("object", static_cast<ICommandHandler *>(nullptr), "",
                    kFlags);
  ConCommand *const kCommands[] = {&plain, &takesArgs, &object};
  for (ConCommand *pCommand : kCommands) {
    pCommand->Execute(args);  // must not crash
    EXPECT_TRUE(pCommand->IsCommand());
    EXPECT_FALSE(pCommand->HasCompletion());
  }
}

// A completion function driven by the case under test.
struct CompletionCase {
  const char *m_pszLabel;
  int m_nRowsFilled;     // rows "r0", "r1", ... written
  bool m_bUnterminated;  // row 0 filled to its end without a terminator
  int m_nAnswer;         // what the function answers
  int m_nExpectedAnswer;
  int m_nExpectedAppended;
};
const CompletionCase *s_pCase = nullptr;
std::string s_PartialSeen;

int CaseCompletion(const char *pszPartial,
                   char ppszRows[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE]) {
  s_PartialSeen = pszPartial;
  for (int i = 0; i < s_pCase->m_nRowsFilled; ++i) {
    snprintf(ppszRows[i], COMPLETION_ITEM_SIZE, "r%d", i);
  }
  if (s_pCase->m_bUnterminated) {
    memset(ppszRows[0], 'z', COMPLETION_ITEM_SIZE);
  }
  return s_pCase->m_nAnswer;
}

const CompletionCase kCompletionCases[] = {
    {"three rows", 3, false, 3, 3, 3},
    {"none", 0, false, 0, 0, 0},
    {"negative", 0, false, -1, -1, 0},
    {"full table", 64, false, 64, 64, 64},
    {"answer beyond the table", 64, false, 100, 64, 64},
    {"unterminated row", 1, true, 1, 1, 1},
};

class ConCommandCompletionTest
    : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(ConCommandCompletionTest, AppendsRowsAfterExistingElements) {
  const CompletionCase &test = GetParam();
  s_pCase = &test;
  const Tier0MemStats before = Tier0_GetMemStats();
  {
    ConCommand command("complete", &PlainHandler, "", kFlags, &CaseCompletion);
    EXPECT_TRUE(command.HasCompletion());
    CGrowableVector<CTextString> suggestions;
    suggestions.Append(CTextString("existing"));

    EXPECT_EQ(command.SuggestCompletions("comp", suggestions),
              test.m_nExpectedAnswer);
    EXPECT_EQ(s_PartialSeen, "comp");
    ASSERT_EQ(suggestions.Count(), 1 + test.m_nExpectedAppended);
    EXPECT_STREQ(suggestions[0].Get(), "existing");
    for (int i = 0; i < test.m_nExpectedAppended; ++i) {
      const std::string expected =
          test.m_bUnterminated ? std::string(COMPLETION_ITEM_SIZE - 1, 'z')
                               : "r" + std::to_string(i);
      EXPECT_EQ(suggestions[1 + i].Get(), expected);
      // Each suggestion owns its own block.
      EXPECT_NE(suggestions[1 + i].Get(), suggestions[i].Get());
    }
  }
  // Every block came from, and went back to, the engine's allocator.
  const Tier0MemStats after = Tier0_GetMemStats();
  EXPECT_EQ(after.m_nBlocks, before.m_nBlocks);
  EXPECT_EQ(after.m_nBytes, before.m_nBytes);
  s_pCase = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Cases, ConCommandCompletionTest,
                         ::testing::ValuesIn(kCompletionCases));

TEST(ConCommandTest, WithoutCompletionNothingIsSuggested) {
  ConCommand command("plain", &PlainHandler, nullptr, kFlags);
  EXPECT_FALSE(command.HasCompletion());
  CGrowableVector<CTextString> suggestions;
  EXPECT_EQ(command.SuggestCompletions("p", suggestions), 0);
  EXPECT_EQ(suggestions.Count(), 0);
  EXPECT_EQ(NoCompletions("p", nullptr), 0);
}

TEST(ConCommandTest, CompletionObjectAnswersUnchanged) {
  class Source : public ICompletionSource {
   public:
    int ListCompletions(const char *pszPartial,
                        CGrowableVector<CTextString> &suggestions) override {
      suggestions.Append(CTextString(pszPartial));
      return 99;
    }
  } source;
  RecordingHandler handler;
  ConCommand command("object", &handler, "", kFlags, &source);
  EXPECT_TRUE(command.HasCompletion());
  CGrowableVector<CTextString> suggestions;
  EXPECT_EQ(command.SuggestCompletions("obj", suggestions), 99);
  ASSERT_EQ(suggestions.Count(), 1);
  EXPECT_STREQ(suggestions[0].Get(), "obj");

  ConCommand none("none", &handler, "", kFlags,
                  static_cast<ICompletionSource *>(nullptr));
  EXPECT_FALSE(none.HasCompletion());
  EXPECT_EQ(none.SuggestCompletions("x", suggestions), 0);
  EXPECT_EQ(suggestions.Count(), 1);
}

// When the suggestions vector cannot grow, the rows that did not fit are
// dropped, the answer counts what was appended, and nothing leaks.
TEST(ConCommandTest, CompletionIntoAVectorThatCannotGrow) {
  static const CompletionCase kThree = {"three", 3, false, 3, 3, 3};
  s_pCase = &kThree;
  const Tier0MemStats before = Tier0_GetMemStats();
  {
    ConCommand command("complete", &PlainHandler, "", kFlags, &CaseCompletion);
    CGrowableVector<CTextString> suggestions;
    // The first row's own string is allocation 1, the vector's first block
    // allocation 2.
    Tier0_FailNthAlloc(2);
    EXPECT_EQ(command.SuggestCompletions("c", suggestions), 0);
    Tier0_FailNthAlloc(0);
    EXPECT_EQ(suggestions.Count(), 0);
    EXPECT_EQ(command.SuggestCompletions("c", suggestions), 3);
    EXPECT_EQ(suggestions.Count(), 3);
  }
  EXPECT_EQ(Tier0_GetMemStats().m_nBlocks, before.m_nBlocks);
  s_pCase = nullptr;
}

}  // namespace
