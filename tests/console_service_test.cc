// The engine's console service: console lines driving registered variables
// and commands, lookup, refusal of duplicates, listings and completion; and
// a plugin loaded beside the engine's own copy of the console framework.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "console/concommand.h"
#include "console/concommandbase.h"
#include "console/convar.h"
#include "emu/console/command_args.h"
#include "emu/console/console_service.h"
#include "emu/console/engine_commands.h"
#include "emu/host/console_output.h"
#include "emu/host/plugin_host.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"

namespace {

// What the argument-taking test command was called with: one text per
// call, "argc|arg0|arg1...|ArgS=...".
std::vector<std::string> s_Calls;

void RecordCall(const CCommandArgs &args) {
  std::string strCall = std::to_string(args.ArgC());
  for (int i = 0; i < args.ArgC(); ++i) strCall += std::string("|") + args[i];
  strCall += std::string("|ArgS=") + args.ArgS();
  s_Calls.push_back(strCall);
}

int CompleteColours(const char *pszPartial,
                    char rows[COMPLETION_MAX_ITEMS][COMPLETION_ITEM_SIZE]) {
  strcpy(rows[0], "test_cmd red");
  strcpy(rows[1], "test_cmd green");
  return 2;
}

// Every change broadcast: "name|old|new".
std::vector<std::string> s_Changes;

void RecordChange(IConVar *var, const char *pOldValue, float flOldValue) {
  ConVar *pVar = static_cast<ConVar *>(var);
  s_Changes.push_back(std::string(var->GetName()) + "|" + pOldValue + "|" +
                      pVar->GetString());
}

class ConsoleServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_Calls.clear();
    s_Changes.clear();
    // The test module's framework talks to this service; its walk runs once
    // per process, and every object built after it registers at once.
    g_pCVar = &m_Service;
    RegisterConsoleObjects(0, nullptr);
    m_pVar = std::make_unique<ConVar>("test_var", "5", 0, "A test variable");
    m_pCommand = std::make_unique<ConCommand>("test_cmd", &RecordCall,
                                              "A test command", 0,
                                              &CompleteColours);
    m_pEngine = std::make_unique<CEngineCommands>(&m_Service);
    m_Output.Clear();
  }
  void TearDown() override {
    // The objects go before the service; nothing may reach it afterwards.
    m_pEngine.reset();
    m_pCommand.reset();
    m_pVar.reset();
    g_pCVar = nullptr;
  }

  CStringOutput m_Output;
  CConsoleService m_Service{&m_Output};
  std::unique_ptr<ConVar> m_pVar;
  std::unique_ptr<ConCommand> m_pCommand;
  std::unique_ptr<CEngineCommands> m_pEngine;
};

struct LineCase {
  const char *pszLine;
  const char *pszOutput;
  std::vector<std::string> calls;
  const char *pszValue;  // test_var afterwards
};

TEST_F(ConsoleServiceTest, LinesDriveVariablesAndCommands) {
  const LineCase kCases[] = {
      {"test_var", "\"test_var\" = \"5\" ( def. \"5\" )\nA test variable\n",
       {}, "5"},
      {"test_var 7", "", {}, "7"},
      {"TEST_VAR \"hello world\"", "", {}, "hello world"},
      {"test_var 3 4", "", {}, "3"},
      {"test_var \"\"", "", {}, ""},
      {"test_cmd", "", {"1|test_cmd|ArgS="}, "5"},
      {"  test_cmd  a \"b c\"  d  ", "",
       {"4|test_cmd|a|b c|d|ArgS=a \"b c\"  d"}, "5"},
      {"test_cmd x; test_var 9 ;Test_Cmd y", "",
       {"2|test_cmd|x|ArgS=x", "2|Test_Cmd|y|ArgS=y"}, "9"},
      {"test_cmd \"a;b\" c", "", {"3|test_cmd|a;b|c|ArgS=\"a;b\" c"}, "5"},
      {"test_cmd \"\"", "", {"2|test_cmd||ArgS=\"\""}, "5"},
      {"test_cmd \"open to the end", "",
       {"2|test_cmd|open to the end|ArgS=\"open to the end"}, "5"},
      {"nosuch 1; test_var 6", "Unknown command \"nosuch\"\n", {}, "6"},
      {" ;  ;\t", "", {}, "5"},
      {"echo \"a  b\" c;echo d", "a  b c\nd\n", {}, "5"},
  };
  for (const LineCase &c : kCases) {
    static_cast<IConVar *>(m_pVar.get())->SetValue("5");
    m_Output.Clear();
    s_Calls.clear();
    m_Service.ExecuteLine(c.pszLine);
    EXPECT_EQ(c.pszOutput, m_Output.Text()) << c.pszLine;
    EXPECT_EQ(c.calls, s_Calls) << c.pszLine;
    EXPECT_STREQ(c.pszValue, m_pVar->GetString()) << c.pszLine;
  }
}

TEST_F(ConsoleServiceTest, SettingAVariableRunsTheGlobalChangeCallbacks) {
  m_Service.InstallGlobalChangeCallback(&RecordChange);
  m_Service.InstallGlobalChangeCallback(&RecordChange);  // kept once
  m_Service.ExecuteLine("test_var 8; test_var 8.5");
  EXPECT_EQ((std::vector<std::string>{"test_var|5|8", "test_var|8|8.5"}),
            s_Changes);
  EXPECT_EQ(8, m_pVar->GetInt());
  m_Service.RemoveGlobalChangeCallback(&RecordChange);
  m_Service.ExecuteLine("test_var 1");
  EXPECT_EQ(2u, s_Changes.size());
}

TEST_F(ConsoleServiceTest, RefusesASecondObjectOfTheSameName) {
  int nCount = m_Service.Count();
  ConVar duplicate("Test_Var", "other", 0, "A second one");
  EXPECT_EQ("Warning: console object \"Test_Var\" is already registered; the "
            "second one is ignored\n",
            m_Output.Text());
  EXPECT_EQ(nCount, m_Service.Count());
  EXPECT_EQ(m_pVar.get(), m_Service.FindVar("test_var"));
  // The same object again is no second object.
  m_Output.Clear();
  m_Service.RegisterConCommand(m_pVar.get());
  EXPECT_EQ("", m_Output.Text());
  EXPECT_EQ(nCount, m_Service.Count());
  // A nameless object (every module's placeholder variable) is not held and
  // is not worth a warning.
  ConVar nameless("", "0", 0, nullptr);
  ConVar nameless2("", "0", 0, nullptr);
  EXPECT_EQ("", m_Output.Text());
  EXPECT_EQ(nCount, m_Service.Count());
  m_Service.RegisterConCommand(nullptr);
  EXPECT_EQ(nCount, m_Service.Count());
}

struct LookupCase {
  const char *pszName;
  bool bBase, bVar, bCommand;
};

TEST_F(ConsoleServiceTest, LookupIgnoresLetterCase) {
  const LookupCase kCases[] = {
      {"test_var", true, true, false},  {"TEST_VAR", true, true, false},
      {"Test_Cmd", true, false, true},  {"test_cm", false, false, false},
      {"test_cmdx", false, false, false}, {"", false, false, false},
      {nullptr, false, false, false},
  };
  for (const LookupCase &c : kCases) {
    const char *pszShown = c.pszName != nullptr ? c.pszName : "(null)";
    EXPECT_EQ(c.bBase, m_Service.FindCommandBase(c.pszName) != nullptr)
        << pszShown;
    EXPECT_EQ(c.bVar, m_Service.FindVar(c.pszName) != nullptr) << pszShown;
    EXPECT_EQ(c.bCommand, m_Service.FindCommand(c.pszName) != nullptr)
        << pszShown;
  }
  EXPECT_EQ(m_pCommand.get(), m_Service.FindCommand("TEST_CMD"));
}

TEST_F(ConsoleServiceTest, WithdrawnObjectsAreGone) {
  int nCount = m_Service.Count();
  m_Service.UnregisterConCommand(m_pCommand.get());
  EXPECT_EQ(nullptr, m_Service.FindCommand("test_cmd"));
  EXPECT_EQ(nCount - 1, m_Service.Count());
  m_Service.ExecuteLine("test_cmd");
  EXPECT_EQ("Unknown command \"test_cmd\"\n", m_Output.Text());
  EXPECT_TRUE(s_Calls.empty());
  // Withdrawing what is not held changes nothing.
  m_Service.UnregisterConCommand(m_pCommand.get());
  EXPECT_EQ(nCount - 1, m_Service.Count());
  // Everything this module registered, by its identifier.
  m_Service.UnregisterConCommands(m_pVar->GetModuleId());
  EXPECT_EQ(0, m_Service.Count());
  EXPECT_EQ(nullptr, m_Service.GetCommand(0));
}

TEST_F(ConsoleServiceTest, ModuleIdentifiersAreDistinct) {
  int a = m_Service.AllocateDLLIdentifier();
  int b = m_Service.AllocateDLLIdentifier();
  int c = m_Service.AllocateDLLIdentifier();
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, c);
  EXPECT_GE(a, 0);
}

TEST_F(ConsoleServiceTest, FindListsNamesAndHelpTextsThatHoldTheText) {
  m_Service.ExecuteLine("find TEST");
  EXPECT_EQ("\"test_cmd\"\nA test command\n"
            "\"test_var\" = \"5\" ( def. \"5\" )\nA test variable\n",
            m_Output.Text());
  m_Output.Clear();
  m_Service.ExecuteLine("find \"a test var\"");
  EXPECT_EQ("\"test_var\" = \"5\" ( def. \"5\" )\nA test variable\n",
            m_Output.Text());
  m_Output.Clear();
  m_Service.ExecuteLine("find zzz_nothing");
  EXPECT_EQ("", m_Output.Text());
  m_Service.ExecuteLine("find");
  EXPECT_EQ("Usage: find TEXT\n", m_Output.Text());
}

TEST_F(ConsoleServiceTest, CvarListListsEverythingSorted) {
  m_Service.ExecuteLine("cvarlist TEST_");
  EXPECT_EQ("test_cmd                 : cmd        : A test command\n"
            "test_var                 : 5          : A test variable\n"
            "--------------\n2 total convars/concommands\n",
            m_Output.Text());
  m_Output.Clear();
  m_Service.ExecuteLine("cvarlist");
  std::string strText = m_Output.Text();
  const char *kNames[] = {"cvarlist ", "echo ", "find ", "quit ", "test_cmd ",
                          "test_var "};
  size_t nLast = 0;
  for (const char *pszName : kNames) {
    size_t nAt = strText.find(std::string("\n") + pszName);
    if (strcmp(pszName, "cvarlist ") == 0) nAt = strText.find(pszName);
    ASSERT_NE(std::string::npos, nAt) << pszName << "\n" << strText;
    EXPECT_GE(nAt, nLast) << pszName << " out of order\n" << strText;
    nLast = nAt;
  }
  EXPECT_NE(std::string::npos, strText.find("\n6 total convars/concommands\n"))
      << strText;
}

TEST_F(ConsoleServiceTest, CompletesNamesAndCommandArguments) {
  struct CompletionCase {
    const char *pszPartial;
    std::vector<std::string> expected;
  };
  const CompletionCase kCases[] = {
      {"test_", {"test_cmd", "test_var"}},
      {"TEST_V", {"test_var"}},
      {"  ec", {"echo"}},
      {"zz", {}},
      {"test_cmd ", {"test_cmd red", "test_cmd green"}},
      {"echo ", {}},  // a command without completion
      {"test_var ", {}},  // a variable
  };
  for (const CompletionCase &c : kCases) {
    std::vector<std::string> suggestions;
    int n = m_Service.CompleteLine(c.pszPartial, &suggestions);
    EXPECT_EQ(c.expected, suggestions) << c.pszPartial;
    EXPECT_EQ(static_cast<int>(c.expected.size()), n) << c.pszPartial;
  }
}

TEST_F(ConsoleServiceTest, QuitOnlyRaisesAFlag) {
  EXPECT_FALSE(m_pEngine->QuitRequested());
  m_Service.ExecuteLine("QUIT");
  EXPECT_TRUE(m_pEngine->QuitRequested());
  EXPECT_EQ("", m_Output.Text());
}

// ---- A plugin beside the engine's framework ----

std::string PluginPath() {
  const char *pszDir = getenv("QG_BIN_DIR");
  return std::string(pszDir != nullptr ? pszDir : ".") + "/quellgate_mm.so";
}

class PluginInEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pCVar = &m_Service;
    RegisterConsoleObjects(0, nullptr);
  }
  void TearDown() override {
    m_Host.UnloadAllPlugins();
    g_pVCR->Hook_recvfrom = &Tier0_SystemRecvFrom;
    g_pCVar = nullptr;
  }

  CStringOutput m_Output;
  CConsoleService m_Service{&m_Output};
  CConsoleService m_OtherService{&m_Output};
  CPluginHost m_Host{&m_Output, &m_Service};
};

// The test module exports its own g_pCVar; the plugin exports one too.  Each
// module must use its own: a plugin that bound to the module's copy would
// write the module's g_pCVar at load and leave its own null.
TEST_F(PluginInEngineTest, FrameworkGlobalsNeverBindAcrossModules) {
  // The hazard is real: this module's g_pCVar is visible to the loader.
  ASSERT_EQ(static_cast<void *>(&g_pCVar), dlsym(RTLD_DEFAULT, "g_pCVar"));

  g_pCVar = &m_OtherService;
  ConCommandBase *pPendingBefore = s_pPendingList;
  IConCommandBaseAccessor *pRegistrarBefore = s_pRegistrar;
  int nModuleIdBefore = s_nModuleId;

  SourceMM::PluginId id = m_Host.LoadPlugin(PluginPath().c_str(), false);
  ASSERT_NE(0, id) << m_Output.Text();
  void *pHandle = m_Host.FindPlugin(id)->m_pHandle;
  auto ppPluginCVar = static_cast<ICvar **>(dlsym(pHandle, "g_pCVar"));
  auto ppPluginCvarAlias = static_cast<ICvar **>(dlsym(pHandle, "cvar"));
  ASSERT_NE(nullptr, ppPluginCVar);
  ASSERT_NE(nullptr, ppPluginCvarAlias);
  EXPECT_NE(&g_pCVar, ppPluginCVar);
  Dl_info info;
  ASSERT_NE(0, dladdr(ppPluginCVar, &info));
  EXPECT_NE(nullptr, strstr(info.dli_fname, "quellgate_mm.so"))
      << info.dli_fname;

  // The plugin stored the service it was handed in its own g_pCVar...
  EXPECT_EQ(static_cast<ICvar *>(&m_Service), *ppPluginCVar);
  EXPECT_EQ(nullptr, *ppPluginCvarAlias);
  // ...and left this module's globals alone.
  EXPECT_EQ(static_cast<ICvar *>(&m_OtherService), g_pCVar);
  EXPECT_EQ(pPendingBefore, s_pPendingList);
  EXPECT_EQ(pRegistrarBefore, s_pRegistrar);
  EXPECT_EQ(nModuleIdBefore, s_nModuleId);

  // Its objects went to the host's service, under the plugin's own module
  // identifier, and nowhere else.
  ConCommandBase *pEnable = m_Service.FindCommandBase("qgat_enable");
  ASSERT_NE(nullptr, pEnable) << m_Output.Text();
  EXPECT_NE(nModuleIdBefore, pEnable->GetModuleId());
  EXPECT_NE(nullptr, m_Service.FindCommand("qgat_status"));
  EXPECT_NE(nullptr, m_Service.FindVar("qgat_version"));
  EXPECT_EQ(0, m_OtherService.Count());

  // Driven through the engine's console, and withdrawn at unload.
  m_Output.Clear();
  m_Service.ExecuteLine("qgat_version; qgat_enable 0");
  EXPECT_EQ("\"qgat_version\" = \"1.0.0.0\" ( def. \"1.0.0.0\" )\n"
            "Quellgate Version\n"
            "[-] Quellgate - Disable\n",
            m_Output.Text());
  EXPECT_EQ(&Tier0_SystemRecvFrom, g_pVCR->Hook_recvfrom);
  EXPECT_TRUE(m_Host.UnloadPlugin(id));
  EXPECT_EQ(nullptr, m_Service.FindCommandBase("qgat_enable"));
  EXPECT_EQ(nullptr, m_Service.FindCommandBase("qgat_status"));
  EXPECT_EQ(nullptr, m_Service.FindCommandBase("qgat_version"));
  EXPECT_EQ(0, m_Service.Count());
}

}  // namespace
