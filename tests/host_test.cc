// The plugin host: its API object, and the loading and unloading of plugin
// libraries (test plugins and the built quellgate_mm.so) with dlopen.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emu/host/console_output.h"
#include "emu/host/plugin_host.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"
#include "tests/null_cvar.h"

namespace {

std::string BinPath(const std::string &strFile) {
  const char *pszDir = getenv("QG_BIN_DIR");
  return std::string(pszDir != nullptr ? pszDir : ".") + "/" + strFile;
}

// A console service that only records what it is asked: the host treats
// console objects as opaque, so these tests do too.
class CRecordingCvar : public NullCvar {
 public:
  int AllocateDLLIdentifier() override { return m_nNextId++; }
  void RegisterConCommand(ConCommandBase *p) override {
    ++m_nRegisterCalls;
    if (m_nRefuseCall == m_nRegisterCalls) return;
    if (std::find(m_Held.begin(), m_Held.end(), p) == m_Held.end()) {
      m_Held.push_back(p);
    }
  }
  void UnregisterConCommand(ConCommandBase *p) override {
    m_Unregistered.push_back(p);
    m_Held.erase(std::remove(m_Held.begin(), m_Held.end(), p), m_Held.end());
  }
  ConCommandBase *GetCommand(int index) override {
    return index >= 0 && index < static_cast<int>(m_Held.size())
               ? m_Held[static_cast<size_t>(index)]
               : nullptr;
  }

  int m_nNextId = 1;
  int m_nRegisterCalls = 0;
  int m_nRefuseCall = 0;  // the RegisterConCommand call to refuse (1-based)
  std::vector<ConCommandBase *> m_Held;
  std::vector<ConCommandBase *> m_Unregistered;
};

bool IsLibraryOpen(const std::string &strPath) {
  void *pHandle = dlopen(strPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (pHandle == nullptr) return false;
  dlclose(pHandle);
  return true;
}

// The console object block `index` of a loaded test plugin.
ConCommandBase *TestPluginObject(const std::string &strPath, int index) {
  void *pHandle = dlopen(strPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (pHandle == nullptr) return nullptr;
  auto pfnObject =
      reinterpret_cast<void *(*)(int)>(dlsym(pHandle, "TestPlugin_Object"));
  void *p = pfnObject != nullptr ? pfnObject(index) : nullptr;
  dlclose(pHandle);
  return static_cast<ConCommandBase *>(p);
}

class HostTest : public ::testing::Test {
 protected:
  CStringOutput m_Output;
  CRecordingCvar m_Cvar;
  CPluginHost m_Host{&m_Output, &m_Cvar};
};

// ---- The API object ----

struct FormatCase {
  size_t nMaxLength;
  const char *pszExpected;  // the buffer afterwards
  size_t nExpectedAnswer;
};

TEST_F(HostTest, FormatIsBoundedAndAlwaysTerminated) {
  const FormatCase kCases[] = {
      {32, "name=ab value=7", 15},
      {16, "name=ab value=7", 15},  // exactly fits with its terminator
      {15, "name=ab value=", 14},
      {4, "nam", 3},
      {1, "", 0},
  };
  for (const FormatCase &c : kCases) {
    char szBuffer[40];
    memset(szBuffer, 'x', sizeof szBuffer);
    size_t n = m_Host.Format(szBuffer, c.nMaxLength, "name=%s value=%d", "ab", 7);
    EXPECT_STREQ(c.pszExpected, szBuffer) << c.nMaxLength;
    EXPECT_EQ(c.nExpectedAnswer, n) << c.nMaxLength;
    EXPECT_EQ('x', szBuffer[c.nMaxLength]) << "wrote past " << c.nMaxLength;
  }
  char szUntouched[4] = "abc";
  EXPECT_EQ(0u, m_Host.Format(szUntouched, 0, "%s", "zzz"));
  EXPECT_STREQ("abc", szUntouched);
  EXPECT_EQ(0u, m_Host.Format(nullptr, 10, "%s", "zzz"));
}

TEST_F(HostTest, ConsolePrintsReachTheOutputWhole) {
  m_Host.ConPrint("plain\n");
  m_Host.ConPrint(nullptr);
  m_Host.ConPrintf("%s %d\n", "formatted", 42);
  std::string strLong(5000, 'L');
  m_Host.ConPrintf("%s|\n", strLong.c_str());
  EXPECT_EQ("plain\nformatted 42\n" + strLong + "|\n", m_Output.Text());
}

struct MetaFactoryCase {
  const char *pszName;
  bool bAnswersHookService;
};

TEST_F(HostTest, MetaFactoryAnswersTheHookServiceOnly) {
  const MetaFactoryCase kCases[] = {
      {"ISourceHook", true},
      {"isourcehook", false},
      {"ISourceHook2", false},
      {CVAR_INTERFACE_VERSION, false},  // an engine interface, not the host's
      {nullptr, false},
  };
  for (const MetaFactoryCase &c : kCases) {
    int nRet = -5;
    SourceMM::PluginId id = -5;
    void *p = m_Host.MetaFactory(c.pszName, &nRet, &id);
    SourceHook::ISourceHook *pExpected =
        c.bAnswersHookService ? m_Host.HookService() : nullptr;
    EXPECT_EQ(static_cast<void *>(pExpected), p)
        << (c.pszName ? c.pszName : "(null)");
    EXPECT_EQ(c.bAnswersHookService ? 0 : 1, nRet);
    EXPECT_EQ(0, id);
  }
  // Both out-pointers may be null.
  EXPECT_NE(nullptr, m_Host.MetaFactory("ISourceHook", nullptr, nullptr));
}

void *ForeignFactory(const char *pszName, int *pReturnCode) {
  static int s_nForeign;
  bool bKnown = strcmp(pszName, "Foreign003") == 0;
  if (pReturnCode != nullptr) *pReturnCode = bKnown ? 0 : 1;
  return bKnown ? &s_nForeign : nullptr;
}

struct MatchCase {
  CreateInterfaceFn pfnFactory;  // null: the host's engine factory
  const char *pszName;
  int nMin;
  bool bFound;
};

TEST_F(HostTest, VInterfaceMatchAnswersTheConsoleService) {
  const MatchCase kCases[] = {
      {nullptr, "VEngineCvar007", -1, true},
      {nullptr, "VEngineCvar007", 7, true},
      {nullptr, "VEngineCvar008", -1, false},  // no fallback without a minimum
      {nullptr, "VEngineCvar008", 7, true},    // falls back to 007
      {nullptr, "VEngineCvar009", 8, false},   // 007 is below the minimum
      {nullptr, "VEngineCvar006", 0, false},   // never a newer version
      {nullptr, "vengineCvar007", -1, false},
      {nullptr, "VEngineServer021", -1, false},
      {ForeignFactory, "Foreign003", -1, true},
      {ForeignFactory, "Foreign004", 1, true},
      {ForeignFactory, "VEngineCvar007", -1, false},
  };
  for (const MatchCase &c : kCases) {
    CreateInterfaceFn pfn =
        c.pfnFactory != nullptr ? c.pfnFactory : m_Host.GetEngineFactory(true);
    void *p = m_Host.VInterfaceMatch(pfn, c.pszName, c.nMin);
    EXPECT_EQ(c.bFound, p != nullptr) << c.pszName << " min " << c.nMin;
    if (c.pfnFactory == nullptr && c.bFound) {
      EXPECT_EQ(static_cast<void *>(static_cast<ICvar *>(&m_Cvar)), p);
    }
  }
  EXPECT_EQ(nullptr, m_Host.VInterfaceMatch(nullptr, "VEngineCvar007", -1));
  // The factory answers by itself too, as an engine factory does.
  int nRet = -5;
  EXPECT_EQ(static_cast<void *>(static_cast<ICvar *>(&m_Cvar)),
            m_Host.GetEngineFactory(false)("VEngineCvar007", &nRet));
  EXPECT_EQ(0, nRet);
}

TEST(HostWithoutConsoleService, AnswersNoConsoleService) {
  CStringOutput output;
  CPluginHost host(&output, nullptr);
  EXPECT_EQ(nullptr, host.VInterfaceMatch(host.GetEngineFactory(true),
                                          CVAR_INTERFACE_VERSION, -1));
  EXPECT_FALSE(host.RegisterConCommandBase(nullptr, nullptr));
}

// ---- Test plugins ----

const std::string kPluginA = BinPath("host_test_plugin_a.so");
const std::string kPluginB = BinPath("host_test_plugin_b.so");

TEST_F(HostTest, LoadsPluginsWithDistinctIdsAndKeepsThemInOrder) {
  SourceMM::PluginId idA = m_Host.LoadPlugin(kPluginA.c_str(), false);
  SourceMM::PluginId idB = m_Host.LoadPlugin(kPluginB.c_str(), true);
  ASSERT_NE(0, idA) << m_Output.Text();
  ASSERT_NE(0, idB) << m_Output.Text();
  EXPECT_NE(idA, idB);
  EXPECT_EQ("TestA load [" + std::to_string(idA) +
                "] late 0 hooks yes cvar yes\n"
                "TestB load [" + std::to_string(idB) +
                "] late 1 hooks yes cvar yes\n",
            m_Output.Text());
  ASSERT_EQ(2u, m_Host.Plugins().size());
  EXPECT_STREQ("TestA", m_Host.Plugins()[0]->m_pPlugin->GetName());
  EXPECT_STREQ("TestB", m_Host.Plugins()[1]->m_pPlugin->GetName());
  EXPECT_EQ(kPluginA, m_Host.FindPlugin(idA)->m_strPath);
  EXPECT_EQ(nullptr, m_Host.FindPlugin(idB + 100));

  // Unloaded and loaded again: a new id, never a reused one.
  EXPECT_TRUE(m_Host.UnloadPlugin(idA));
  EXPECT_FALSE(m_Host.UnloadPlugin(idA));
  EXPECT_FALSE(IsLibraryOpen(kPluginA));
  SourceMM::PluginId idA2 = m_Host.LoadPlugin(kPluginA.c_str(), false);
  EXPECT_NE(0, idA2);
  EXPECT_NE(idA, idA2);
  EXPECT_NE(idB, idA2);
}

TEST_F(HostTest, RefusesAPluginThatIsAlreadyLoaded) {
  SourceMM::PluginId id = m_Host.LoadPlugin(kPluginA.c_str(), false);
  ASSERT_NE(0, id);
  m_Output.Clear();
  EXPECT_EQ(0, m_Host.LoadPlugin(kPluginA.c_str(), false));
  EXPECT_EQ("Plugin " + kPluginA + " is already loaded as [" +
                std::to_string(id) + "]\n",
            m_Output.Text());
  // The loaded one is untouched and still unloads normally.
  ASSERT_EQ(1u, m_Host.Plugins().size());
  EXPECT_TRUE(IsLibraryOpen(kPluginA));
  EXPECT_TRUE(m_Host.UnloadPlugin(id));
  EXPECT_FALSE(IsLibraryOpen(kPluginA));
}

TEST_F(HostTest, UnloadWithdrawsOnlyThatPluginsConsoleObjects) {
  SourceMM::PluginId idA = m_Host.LoadPlugin(kPluginA.c_str(), false);
  SourceMM::PluginId idB = m_Host.LoadPlugin(kPluginB.c_str(), false);
  ASSERT_TRUE(idA != 0 && idB != 0) << m_Output.Text();
  ConCommandBase *pA0 = TestPluginObject(kPluginA, 0);
  ConCommandBase *pA1 = TestPluginObject(kPluginA, 1);
  ConCommandBase *pB0 = TestPluginObject(kPluginB, 0);
  EXPECT_EQ((std::vector<ConCommandBase *>{pA0, pA1, pB0}), m_Cvar.m_Held);
  EXPECT_EQ((std::vector<ConCommandBase *>{pA0, pA1}),
            m_Host.FindPlugin(idA)->m_ConsoleObjects);

  EXPECT_TRUE(m_Host.UnloadPlugin(idA));
  EXPECT_EQ((std::vector<ConCommandBase *>{pA1, pA0}), m_Cvar.m_Unregistered);
  EXPECT_EQ((std::vector<ConCommandBase *>{pB0}), m_Cvar.m_Held);
  EXPECT_TRUE(m_Host.UnloadPlugin(idB));
  EXPECT_TRUE(m_Cvar.m_Held.empty());
}

TEST_F(HostTest, AnObjectTheServiceRefusedIsNotThePluginsToWithdraw) {
  m_Cvar.m_nRefuseCall = 2;  // TestA's second object, say a duplicate name
  SourceMM::PluginId idA = m_Host.LoadPlugin(kPluginA.c_str(), false);
  ASSERT_NE(0, idA);
  ConCommandBase *pA0 = TestPluginObject(kPluginA, 0);
  EXPECT_EQ((std::vector<ConCommandBase *>{pA0}),
            m_Host.FindPlugin(idA)->m_ConsoleObjects);
  EXPECT_TRUE(m_Host.UnloadPlugin(idA));
  EXPECT_EQ((std::vector<ConCommandBase *>{pA0}), m_Cvar.m_Unregistered);
}

TEST_F(HostTest, OnlyALoadedPluginRegisters) {
  char object[16];
  EXPECT_FALSE(m_Host.RegisterConCommandBase(
      nullptr, reinterpret_cast<ConCommandBase *>(object)));
  EXPECT_EQ(0, m_Cvar.m_nRegisterCalls);
}

TEST_F(HostTest, DestructionUnloadsTheNewestFirst) {
  {
    CPluginHost host(&m_Output, &m_Cvar);
    ASSERT_NE(0, host.LoadPlugin(kPluginA.c_str(), false));
    ASSERT_NE(0, host.LoadPlugin(kPluginB.c_str(), false));
    m_Output.Clear();
  }
  EXPECT_EQ("TestB unload\nTestA unload\n", m_Output.Text());
  EXPECT_TRUE(m_Cvar.m_Held.empty());
  EXPECT_FALSE(IsLibraryOpen(kPluginA));
  EXPECT_FALSE(IsLibraryOpen(kPluginB));
}

struct LoadFailureCase {
  const char *pszFile;
  const char *pszReason;  // what follows "Failed to load plugin PATH: "
};

TEST_F(HostTest, AFailedLoadIsReportedAndLeavesNothingBehind) {
  const LoadFailureCase kCases[] = {
      {"no_such_plugin.so", nullptr},  // dlopen's own words
      {"host_test_plugin_nofactory.so", "no CreateInterface"},
      {"host_test_plugin_noplugin.so", "no ISmmPlugin interface"},
      {"host_test_plugin_fail.so", "TestFail was told to fail"},
  };
  for (const LoadFailureCase &c : kCases) {
    std::string strPath = BinPath(c.pszFile);
    m_Output.Clear();
    EXPECT_EQ(0, m_Host.LoadPlugin(strPath.c_str(), false)) << c.pszFile;
    std::string strPrefix = "Failed to load plugin " + strPath + ": ";
    size_t nAt = m_Output.Text().find(strPrefix);
    ASSERT_NE(std::string::npos, nAt) << m_Output.Text();
    if (c.pszReason != nullptr) {
      EXPECT_EQ(strPrefix + c.pszReason + "\n", m_Output.Text().substr(nAt));
    }
    EXPECT_TRUE(m_Host.Plugins().empty());
    EXPECT_FALSE(IsLibraryOpen(strPath)) << c.pszFile;
  }
  // The failing plugin had registered an object: it was withdrawn.
  EXPECT_EQ(1, m_Cvar.m_nRegisterCalls);
  EXPECT_EQ(1u, m_Cvar.m_Unregistered.size());
  EXPECT_TRUE(m_Cvar.m_Held.empty());
  EXPECT_EQ(0, m_Host.LoadPlugin("", false));
  EXPECT_EQ(0, m_Host.LoadPlugin(nullptr, false));
}

// Stands for the engine's network thread: says on the console when it is
// parked and let go, and whether the plugin's library is open at that point.
class COutputQuiesce : public IQuiesce {
 public:
  COutputQuiesce(IConsoleOutput *pOutput, const std::string &strLibrary)
      : m_pOutput(pOutput), m_strLibrary(strLibrary) {}
  void Pause() override { m_pOutput->Print("pause\n"); }
  void Resume() override {
    m_pOutput->Print(IsLibraryOpen(m_strLibrary) ? "resume (open)\n"
                                                 : "resume (closed)\n");
  }

 private:
  IConsoleOutput *m_pOutput;
  std::string m_strLibrary;
};

TEST_F(HostTest, ParksTheOtherThreadAroundEveryLoadAndUnload) {
  COutputQuiesce quiesce(&m_Output, kPluginA);
  m_Host.SetQuiesce(&quiesce);
  SourceMM::PluginId id = m_Host.LoadPlugin(kPluginA.c_str(), false);
  ASSERT_NE(0, id);
  EXPECT_EQ("pause\nTestA load [" + std::to_string(id) +
                "] late 0 hooks yes cvar yes\nresume (open)\n",
            m_Output.Text());
  m_Output.Clear();
  EXPECT_TRUE(m_Host.UnloadPlugin(id));
  // Unload ran, and the library was closed, before the thread was let go.
  EXPECT_EQ("pause\nTestA unload\nresume (closed)\n", m_Output.Text());
  m_Output.Clear();
  EXPECT_FALSE(m_Host.UnloadPlugin(id));  // nothing to unload: no pause
  EXPECT_EQ("", m_Output.Text());

  // A failed Load is undone, library closed, before the thread goes on.
  const std::string kFail = BinPath("host_test_plugin_fail.so");
  COutputQuiesce failQuiesce(&m_Output, kFail);
  m_Host.SetQuiesce(&failQuiesce);
  EXPECT_EQ(0, m_Host.LoadPlugin(kFail.c_str(), false));
  EXPECT_EQ(0u, m_Output.Text().find("pause\nTestFail load ["));
  EXPECT_NE(std::string::npos,
            m_Output.Text().find(": TestFail was told to fail\n"
                                 "resume (closed)\n"))
      << m_Output.Text();
  m_Host.SetQuiesce(nullptr);
}

// ---- The built plugin ----

const std::string kQuellgate = BinPath("quellgate_mm.so");
const char kEnableMessage[] = "[-] Quellgate - Enable\n";
const char kDisableMessage[] = "[-] Quellgate - Disable\n";

std::string RunCommand(const std::string &strCommand) {
  std::string strOutput;
  FILE *pPipe = popen(strCommand.c_str(), "r");
  if (pPipe == nullptr) return strOutput;
  char szBuffer[512];
  while (fgets(szBuffer, sizeof szBuffer, pPipe) != nullptr) {
    strOutput += szBuffer;
  }
  pclose(pPipe);
  return strOutput;
}

TEST(QuellgateLibrary, ExportsExactlyItsThreeNamesAndNeedsTier0) {
  std::string strSymbols =
      RunCommand("nm -D --defined-only '" + kQuellgate + "' 2>&1");
  std::map<std::string, char> exports;
  for (size_t nStart = 0; nStart < strSymbols.size();) {
    size_t nEnd = strSymbols.find('\n', nStart);
    if (nEnd == std::string::npos) nEnd = strSymbols.size();
    std::string strLine = strSymbols.substr(nStart, nEnd - nStart);
    nStart = nEnd + 1;
    char szAddress[64], szType[8], szName[256];
    if (sscanf(strLine.c_str(), "%63s %7s %255s", szAddress, szType, szName) ==
        3) {
      exports[szName] = szType[0];
    } else {
      ADD_FAILURE() << "unexpected nm line: " << strLine;
    }
  }
  ASSERT_EQ(3u, exports.size()) << strSymbols;
  EXPECT_EQ('T', exports["CreateInterface"]) << strSymbols;
  // Data, zero at start: in .bss.
  EXPECT_EQ('B', exports["g_pCVar"]) << strSymbols;
  EXPECT_EQ('B', exports["cvar"]) << strSymbols;

  // readelf pads its columns to the word size: blanks are squeezed first.
  std::string strDynamic =
      RunCommand("readelf -d '" + kQuellgate + "' 2>&1 | tr -s ' '");
  EXPECT_NE(std::string::npos,
            strDynamic.find("(NEEDED) Shared library: [libtier0.so]"))
      << strDynamic;
}

class QuellgateLoadTest : public HostTest {
 protected:
  void TearDown() override {
    m_Host.UnloadAllPlugins();
    g_pVCR->Hook_recvfrom = &Tier0_SystemRecvFrom;
  }
};

TEST_F(QuellgateLoadTest, LoadInstallsTheFilterAndUnloadTakesItOut) {
  SourceMM::PluginId id = m_Host.LoadPlugin(kQuellgate.c_str(), false);
  ASSERT_NE(0, id) << m_Output.Text();
  EXPECT_EQ(kEnableMessage, m_Output.Text());
  EXPECT_NE(&Tier0_SystemRecvFrom, g_pVCR->Hook_recvfrom);
  const CPluginHost::LoadedPlugin *pLoaded = m_Host.FindPlugin(id);
  ASSERT_NE(nullptr, pLoaded);
  SourceMM::ISmmPlugin *pPlugin = pLoaded->m_pPlugin;
  EXPECT_STREQ("Quellgate", pPlugin->GetName());
  EXPECT_STREQ("1.0.0.0", pPlugin->GetVersion());
  EXPECT_STREQ("QGAT", pPlugin->GetLogTag());
  EXPECT_EQ(15, pPlugin->GetApiVersion());

  m_Output.Clear();
  EXPECT_TRUE(m_Host.UnloadPlugin(id));
  EXPECT_EQ(kDisableMessage, m_Output.Text());
  EXPECT_EQ(&Tier0_SystemRecvFrom, g_pVCR->Hook_recvfrom);
  EXPECT_FALSE(IsLibraryOpen(kQuellgate));

  // A second load is a fresh one, under a new id.
  m_Output.Clear();
  SourceMM::PluginId id2 = m_Host.LoadPlugin(kQuellgate.c_str(), true);
  EXPECT_NE(0, id2);
  EXPECT_NE(id, id2);
  EXPECT_EQ(kEnableMessage, m_Output.Text());
}

TEST(QuellgateWithoutConsoleService, LoadFailsAndTakesTheFilterOutAgain) {
  CStringOutput output;
  CPluginHost host(&output, nullptr);
  EXPECT_EQ(0, host.LoadPlugin(kQuellgate.c_str(), false));
  EXPECT_EQ(std::string(kEnableMessage) + kDisableMessage +
                "Failed to load plugin " + kQuellgate +
                ": Could not find interface: VEngineCvar007\n",
            output.Text());
  EXPECT_EQ(&Tier0_SystemRecvFrom, g_pVCR->Hook_recvfrom);
  EXPECT_TRUE(host.Plugins().empty());
  EXPECT_FALSE(IsLibraryOpen(kQuellgate));
}

}  // namespace
