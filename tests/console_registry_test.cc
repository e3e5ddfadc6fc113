// The pending list, the one registration walk and the default accessor.
//
// The walk runs at most once per process, so every test here runs its body
// in a forked child that starts from the state static initialisation left:
// only the placeholder variable on the pending list, no console service.
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "console/concommand.h"
#include "console/concommandbase.h"
#include "console/convar.h"
#include "gtest/gtest.h"
#include "tests/console_test_cvar.h"

// console_exports_check.cc: the addresses of the data named exactly
// g_pCVar and cvar, as C code would see them.
void *ExportedConsoleServiceAddress();
void *ExportedCvarAddress();

namespace {

// Runs body in a child process and expects it to finish without a failed
// assertion; the child's failures are printed in its own output.
void RunInChild(void (*pfnBody)()) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    pfnBody();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int nStatus = 0;
  ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(nStatus)) << "the child crashed";
  EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "the child's checks failed (above)";
}

// Records each object with the flags it carried when it was handed over.
class RecordingAccessor : public IConCommandBaseAccessor {
 public:
  explicit RecordingAccessor(bool bAccept = true) : m_bAccept(bAccept) {}
  bool RegisterConCommandBase(ConCommandBase *pCommand) override {
    m_Objects.push_back(pCommand);
    m_Flags.push_back(pCommand->GetFlags());
    return m_bAccept;
  }
  bool m_bAccept;
  std::vector<ConCommandBase *> m_Objects;
  std::vector<int> m_Flags;
};

TEST(ConsoleRegistry, StartsCollectingWithOnlyThePlaceholder) {
  RunInChild([] {
    EXPECT_EQ(s_pPendingList, &s_EmptyVariable);
    EXPECT_EQ(s_EmptyVariable.GetNext(), nullptr);
    EXPECT_EQ(s_pRegistrar, nullptr);
    EXPECT_FALSE(s_bListRegistered);
    EXPECT_EQ(s_nModuleId, -1);
    EXPECT_EQ(g_pCVar, nullptr);
    EXPECT_EQ(cvar, nullptr);
  });
}

// Newest first, the placeholder last; a refusing accessor does not stop
// the walk.
TEST(ConsoleRegistry, WalkRegistersNewestFirstThenThePlaceholder) {
  static const bool kAccept[] = {true, false};
  for (bool bAccept : kAccept) {
    SCOPED_TRACE(bAccept ? "accepting accessor" : "refusing accessor");
    static bool s_bAccept;
    s_bAccept = bAccept;
    RunInChild([] {
      ConVar a("a", "1", 0, "help a");
      ConCommand b("b", static_cast<PlainCommandFn>(nullptr));
      ConVar c("c", "3", 0, nullptr);
      RecordingCvar service;
      RecordingAccessor accessor(s_bAccept);
      g_pCVar = &service;
      RegisterConsoleObjects(0, &accessor);

      const std::vector<ConCommandBase *> expected = {&c, &b, &a,
                                                      &s_EmptyVariable};
      EXPECT_EQ(accessor.m_Objects, expected);
      EXPECT_TRUE(service.m_Registered.empty());
      EXPECT_EQ(s_pPendingList, nullptr);
      EXPECT_EQ(s_pRegistrar, &accessor);
      EXPECT_TRUE(s_bListRegistered);
      for (ConCommandBase *pObject : expected) {
        EXPECT_FALSE(pObject->IsRegistered()) << "the walk sets no mark";
      }
      g_pCVar = nullptr;
    });
  }
}

TEST(ConsoleRegistry, UnregisteredBitKeepsAnObjectOutOfTheWalk) {
  RunInChild([] {
    const int kWalkFlags = 0x40;
    ConVar listed("listed", "0", 0x4, nullptr);
    ConVar hidden("hidden", "0", FCVAR_UNREGISTERED, nullptr);
    EXPECT_EQ(hidden.GetNext(), nullptr);
    EXPECT_EQ(s_pPendingList, &listed);

    RecordingCvar service;
    RecordingAccessor accessor;
    g_pCVar = &service;
    RegisterConsoleObjects(kWalkFlags, &accessor);

    const std::vector<ConCommandBase *> expected = {&listed, &s_EmptyVariable};
    EXPECT_EQ(accessor.m_Objects, expected);
    ASSERT_EQ(accessor.m_Flags.size(), 2u);
    EXPECT_EQ(accessor.m_Flags[0], 0x4 | kWalkFlags)
        << "flags are added before the object is handed over";
    EXPECT_EQ(hidden.GetFlags(), FCVAR_UNREGISTERED);
    EXPECT_EQ(s_nRegisterFlags, kWalkFlags);
    g_pCVar = nullptr;
  });
}

TEST(ConsoleRegistry, ObjectsBuiltAfterTheWalkRegisterAtOnce) {
  RunInChild([] {
    const int kWalkFlags = 0x40;
    RecordingCvar service;
    RecordingAccessor accessor;
    g_pCVar = &service;
    RegisterConsoleObjects(kWalkFlags, &accessor);
    accessor.m_Objects.clear();
    accessor.m_Flags.clear();

    struct Case {
      const char *m_pszName;
      int m_nFlags;
      bool m_bListed;
    };
    static const Case kCases[] = {
        {"late_plain", 0, true},
        {"late_unregistered", FCVAR_UNREGISTERED, false},
        {"late_other", 0x200, true},
    };
    for (const Case &test : kCases) {
      SCOPED_TRACE(test.m_pszName);
      ConCommand *pCommand = new ConCommand(
          test.m_pszName, static_cast<PlainCommandFn>(nullptr), nullptr,
          test.m_nFlags);
      ASSERT_FALSE(accessor.m_Objects.empty());
      EXPECT_EQ(accessor.m_Objects.back(), pCommand);
      EXPECT_EQ(accessor.m_Flags.back(), test.m_nFlags)
          << "late objects do not get the walk's flags";
      EXPECT_EQ(pCommand->GetFlags(), test.m_nFlags);
      // A listed object still goes onto the list, which nobody walks again.
      EXPECT_EQ(s_pPendingList == pCommand, test.m_bListed);
      accessor.m_Objects.clear();
      accessor.m_Flags.clear();
    }
    EXPECT_EQ(service.m_nIdentifierCalls, 1);
    g_pCVar = nullptr;
  });
}

TEST(ConsoleRegistry, WalkWaitsForTheServiceAndRunsOnce) {
  RunInChild([] {
    ConVar a("a", "1", 0, nullptr);
    RecordingAccessor first;
    RegisterConsoleObjects(0, &first);  // no console service yet
    EXPECT_TRUE(first.m_Objects.empty());
    EXPECT_FALSE(s_bListRegistered);
    EXPECT_EQ(s_pRegistrar, nullptr);
    EXPECT_EQ(s_pPendingList, &a);
    EXPECT_EQ(a.GetModuleId(), -1);

    RecordingCvar service(7);
    g_pCVar = &service;
    RegisterConsoleObjects(0, &first);
    EXPECT_EQ(first.m_Objects.size(), 2u);
    EXPECT_EQ(service.m_nIdentifierCalls, 1);

    ConVar b("b", "2", FCVAR_UNREGISTERED, nullptr);  // registers at once
    RecordingAccessor second;
    RegisterConsoleObjects(0x40, &second);
    EXPECT_TRUE(second.m_Objects.empty());
    EXPECT_EQ(s_pRegistrar, &first);
    EXPECT_EQ(service.m_nIdentifierCalls, 1);
    EXPECT_EQ(s_nRegisterFlags, 0);
    EXPECT_EQ(first.m_Objects.back(), &b);
    g_pCVar = nullptr;
  });
}

TEST(ConsoleRegistry, ModuleIdIsSharedAndSetByTheWalk) {
  RunInChild([] {
    ConVar var("var", "1", 0, nullptr);
    ConCommand command("command", static_cast<PlainCommandFn>(nullptr));
    ConVar hidden("hidden", "1", FCVAR_UNREGISTERED, nullptr);
    ConCommandBase *const kObjects[] = {&var, &command, &hidden,
                                        &s_EmptyVariable};
    for (ConCommandBase *pObject : kObjects) {
      EXPECT_EQ(pObject->GetModuleId(), -1) << pObject->GetName();
    }
    RecordingCvar service(1234);
    RecordingAccessor accessor;
    g_pCVar = &service;
    RegisterConsoleObjects(0, &accessor);
    for (ConCommandBase *pObject : kObjects) {
      EXPECT_EQ(pObject->GetModuleId(), 1234) << pObject->GetName();
    }
    g_pCVar = nullptr;
  });
}

TEST(ConsoleRegistry, NullAccessorRegistersThroughTheConsoleService) {
  RunInChild([] {
    ConVar a("a", "1", 0, nullptr);
    ConCommand b("b", static_cast<PlainCommandFn>(nullptr));
    RecordingCvar service;
    g_pCVar = &service;
    RegisterConsoleObjects(0, nullptr);
    EXPECT_EQ(s_pRegistrar, &s_DefaultRegistrar);
    const std::vector<ConCommandBase *> expected = {&b, &a, &s_EmptyVariable};
    EXPECT_EQ(service.m_Registered, expected);

    ConVar late("late", "1", 0, nullptr);
    EXPECT_EQ(service.m_Registered.back(), &late);
    g_pCVar = nullptr;
  });
}

// Once the console service is gone, the default accessor refuses instead of
// calling through a null pointer.
TEST(ConsoleRegistry, DefaultAccessorWithoutServiceRefuses) {
  RunInChild([] {
    ConVar a("a", "1", FCVAR_UNREGISTERED, nullptr);
    EXPECT_FALSE(s_DefaultRegistrar.RegisterConCommandBase(&a));
    RecordingCvar service;
    g_pCVar = &service;
    EXPECT_TRUE(s_DefaultRegistrar.RegisterConCommandBase(&a));
    EXPECT_EQ(service.m_Registered.size(), 1u);
    g_pCVar = nullptr;
  });
}

TEST(ConsoleRegistry, BaseFieldsReadBack) {
  RunInChild([] {
    ConVar var("name", "1", 0x4 | FCVAR_UNREGISTERED, nullptr);
    EXPECT_STREQ(var.GetName(), "name");
    ASSERT_NE(var.GetHelpText(), nullptr);
    EXPECT_STREQ(var.GetHelpText(), "");
    ConCommand command("cmd", static_cast<PlainCommandFn>(nullptr), "helps");
    EXPECT_STREQ(command.GetHelpText(), "helps");
    EXPECT_TRUE(command.IsCommand());
    EXPECT_FALSE(var.IsCommand());

    struct FlagCase {
      int m_nAdd;
      int m_nRemove;
      int m_nExpected;
    };
    static const FlagCase kFlagCases[] = {
        {0x10, 0, 0x15},
        {0, 0x4, 0x11},
        {0x100, 0x111, 0x0},
    };
    for (const FlagCase &test : kFlagCases) {
      var.AddFlags(test.m_nAdd);
      var.RemoveFlags(test.m_nRemove);
      EXPECT_EQ(var.GetFlags(), test.m_nExpected);
    }
    EXPECT_FALSE(var.HasFlag(0xFF));
    var.AddFlags(0x8);
    EXPECT_TRUE(var.HasFlag(0x9));
  });
}

TEST(ConsoleRegistry, CvarStaysNullThroughTheWalk) {
  RunInChild([] {
    RecordingCvar service;
    RecordingAccessor accessor;
    g_pCVar = &service;
    EXPECT_EQ(cvar, nullptr);
    RegisterConsoleObjects(0, &accessor);
    EXPECT_EQ(cvar, nullptr);
    g_pCVar = nullptr;
  });
}

// The engine looks both pointers up by these exact names.
TEST(ConsoleRegistry, ExportedDataCarryPlainNames) {
  EXPECT_EQ(ExportedConsoleServiceAddress(), static_cast<void *>(&g_pCVar));
  EXPECT_EQ(ExportedCvarAddress(), static_cast<void *>(&cvar));
}

}  // namespace
