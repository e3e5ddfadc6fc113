// The host's console command "meta" on a real console service: listing,
// loading and unloading plugins, every refusal, and its completion.
#include <stdlib.h>

#include <string>
#include <vector>

#include "console/concommandbase.h"
#include "emu/console/console_service.h"
#include "emu/host/console_output.h"
#include "emu/host/meta_command.h"
#include "emu/host/plugin_host.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"

namespace {

std::string BinPath(const std::string &strFile) {
  const char *pszDir = getenv("QG_BIN_DIR");
  return std::string(pszDir != nullptr ? pszDir : ".") + "/" + strFile;
}

// Test plugins that register no console objects (the real service looks
// into what it is handed), one of them with null texts.
const std::string kPluginC = BinPath("host_test_plugin_c.so");
const std::string kPluginNull = BinPath("host_test_plugin_nulltexts.so");
const std::string kNoFactory = BinPath("host_test_plugin_nofactory.so");
const std::string kQuellgate = BinPath("quellgate_mm.so");

const char kUsage[] =
    "Usage: meta <command>\n"
    "  meta list           lists the loaded plugins: [ID] NAME (VERSION) by "
    "AUTHOR\n"
    "  meta load PATH      loads the plugin library at PATH\n"
    "  meta unload ID      unloads the plugin with that id\n";

class MetaCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // This module's framework talks to the service; the walk runs once per
    // process, and the command built after it registers at once.
    g_pCVar = &m_Service;
    RegisterConsoleObjects(0, nullptr);
    m_pMeta = std::make_unique<CMetaCommand>(&m_Host);
    m_Service.RegisterConCommand(m_pMeta->Command());
  }
  void TearDown() override {
    m_Host.UnloadAllPlugins();
    m_Service.UnregisterConCommand(m_pMeta->Command());
    m_pMeta.reset();
    g_pVCR->Hook_recvfrom = &Tier0_SystemRecvFrom;
    g_pCVar = nullptr;
  }

  std::string Run(const std::string &strLine) {
    m_Output.Clear();
    m_Service.ExecuteLine(strLine);
    return m_Output.Text();
  }

  CStringOutput m_Output;
  CConsoleService m_Service{&m_Output};
  CPluginHost m_Host{&m_Output, &m_Service};
  std::unique_ptr<CMetaCommand> m_pMeta;
};

struct MetaCase {
  std::string strLine;
  std::string strOutput;
};

// With TestC as [1] and the plugin with null texts as [2].
TEST_F(MetaCommandTest, ListsAndRefusesClearly) {
  ASSERT_EQ(1, m_Host.LoadPlugin(kPluginC.c_str(), false)) << m_Output.Text();
  ASSERT_EQ(2, m_Host.LoadPlugin(kPluginNull.c_str(), false))
      << m_Output.Text();
  const std::string kList =
      "[1] TestC (0.1) by the tests\n"
      "[2]  () by \n";
  const MetaCase kCases[] = {
      {"meta", kUsage},
      {"meta list", kList},
      {"META List", kList},  // subcommands ignore letter case too
      {"meta list extra", kList},
      {"meta frob", std::string("Unknown meta command \"frob\"\n") + kUsage},
      {"meta \"\"", std::string("Unknown meta command \"\"\n") + kUsage},
      {"meta unload", "Usage: meta unload ID\n"},
      {"meta unload 1 2", "Usage: meta unload ID\n"},
      {"meta unload 7", "No plugin is loaded as [7]\n"},
      {"meta unload 007", "No plugin is loaded as [7]\n"},
      {"meta unload x", "\"x\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload 0", "\"0\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload -1",
       "\"-1\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload +1",
       "\"+1\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload 1x",
       "\"1x\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload 99999999999",
       "\"99999999999\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta unload \"\"", "\"\" is not a plugin id; \"meta list\" shows them\n"},
      {"meta load", "Usage: meta load PATH\n"},
      {"meta load \"\"", "Usage: meta load PATH\n"},
      {"meta load a b", "Usage: meta load PATH\n"},
      {"meta load " + kPluginC,
       "Plugin " + kPluginC + " is already loaded as [1]\n"},
      {"meta load " + kNoFactory,
       "Failed to load plugin " + kNoFactory + ": no CreateInterface\n"},
  };
  for (const MetaCase &c : kCases) {
    EXPECT_EQ(c.strOutput, Run(c.strLine)) << c.strLine;
  }
  // None of the refusals changed anything.
  EXPECT_EQ(kList, Run("meta list"));
}

TEST_F(MetaCommandTest, UnloadsAndLoadsUnderNewIds) {
  ASSERT_EQ("No plugins loaded\n", Run("meta list"));
  EXPECT_EQ("TestC load [1] late 1 hooks yes cvar yes\n"
            "Loaded plugin [1] TestC\n",
            Run("meta load " + kPluginC));
  EXPECT_EQ("[-] Quellgate - Enable\nLoaded plugin [2] Quellgate\n",
            Run("meta load " + kQuellgate));
  EXPECT_EQ("[1] TestC (0.1) by the tests\n"
            "[2] Quellgate (1.0.0.0) by Quellgate developers\n",
            Run("meta list"));
  EXPECT_NE(nullptr, m_Service.FindCommand("qgat_status"));

  // The name is printed after the library is gone: it was copied first.
  EXPECT_EQ("[-] Quellgate - Disable\nUnloaded plugin [2] Quellgate\n",
            Run("meta unload 2"));
  EXPECT_EQ(nullptr, m_Service.FindCommandBase("qgat_status"));
  EXPECT_EQ("Unknown command \"qgat_enable\"\n", Run("qgat_enable 0"));
  EXPECT_EQ("TestC unload\nUnloaded plugin [1] TestC\n", Run("meta unload 1"));
  EXPECT_EQ("No plugins loaded\n", Run("meta list"));

  EXPECT_EQ("[-] Quellgate - Enable\nLoaded plugin [3] Quellgate\n",
            Run("meta load " + kQuellgate));
  EXPECT_EQ("[-] Quellgate - Enable\n"
            " Attacker IP\t|\tPacket\n--------------------------------\n"
            "--------------------------------\n",
            Run("qgat_status"));
  EXPECT_EQ("[3] Quellgate (1.0.0.0) by Quellgate developers\n",
            Run("meta list"));
  // A line of several commands: each runs in turn.
  EXPECT_EQ("[-] Quellgate - Disable\nUnloaded plugin [3] Quellgate\n"
            "No plugins loaded\n",
            Run("meta unload 3; meta list"));
}

struct CompletionCase {
  const char *pszPartial;
  std::vector<std::string> expected;
};

TEST_F(MetaCommandTest, CompletesSubcommandsAndIds) {
  ASSERT_EQ(1, m_Host.LoadPlugin(kPluginC.c_str(), false));
  ASSERT_EQ(2, m_Host.LoadPlugin(kPluginNull.c_str(), false));
  const CompletionCase kCases[] = {
      {"me", {"meta"}},
      {"meta ", {"meta list", "meta load", "meta unload"}},
      {"meta l", {"meta list", "meta load"}},
      {"META LO", {"meta load"}},
      {"meta x", {}},
      {"meta unload ", {"meta unload 1", "meta unload 2"}},
      {"meta unload 2", {"meta unload 2"}},
      {"meta unload 23", {}},
      {"meta list ", {}},
      {"meta load ", {}},
  };
  for (const CompletionCase &c : kCases) {
    std::vector<std::string> suggestions;
    int n = m_Service.CompleteLine(c.pszPartial, &suggestions);
    EXPECT_EQ(c.expected, suggestions) << c.pszPartial;
    EXPECT_EQ(static_cast<int>(c.expected.size()), n) << c.pszPartial;
  }
}

struct IdCase {
  const char *pszText;
  int nId;
};

TEST(ParsePluginId, TakesDecimalDigitsOnly) {
  const IdCase kCases[] = {
      {"1", 1},           {"42", 42},        {"0042", 42},
      {"2147483647", 2147483647},            {"2147483648", 0},
      {"0", 0},           {"", 0},           {nullptr, 0},
      {"-1", 0},          {"+1", 0},         {" 1", 0},
      {"1 ", 0},          {"1e3", 0},        {"0x10", 0},
      {"99999999999999999999999", 0},
  };
  for (const IdCase &c : kCases) {
    EXPECT_EQ(c.nId, ParsePluginId(c.pszText))
        << (c.pszText != nullptr ? c.pszText : "(null)");
  }
}

}  // namespace
