// The plugin core in-process: the exported factory, the lifecycle, the
// receive filter and the attacker table with its report, against a capture
// host and a scripted receive entry.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/attackers.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"
#include "plugin/quellgate.h"
#include "tests/plugin_fixture.h"

extern "C" void *CreateInterface(const char *name, int *returnCode);

namespace {

const char kEnable[] = "[-] Quellgate - Enable\n";
const char kDisable[] = "[-] Quellgate - Disable\n";
const char kHeader[] =
    " Attacker IP\t|\tPacket\n--------------------------------\n";
const char kFooter[] = "--------------------------------\n";

int SystemLikeRecvFrom(int, char *, int, int, struct sockaddr *, int *) {
  return -1;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_Scripted = ScriptedReceive();
    g_pVCR->Hook_recvfrom = &ScriptedRecvFrom;
    m_Host.m_pConsoleService = &m_Cvar;
    m_Host.m_pHookService = &m_Hooks;
  }
  void TearDown() override {
    // Leave the library as a fresh start would: filter off, table empty.
    if (g_pHostApi == nullptr) g_pHostApi = &m_Host;
    g_Quellgate.Unload(nullptr, 0);
    g_pVCR->Hook_recvfrom = &SystemLikeRecvFrom;
  }

  bool Load(bool late = false) {
    char error[128] = "untouched";
    bool ok = g_Quellgate.Load(3, &m_Host, error, sizeof error, late);
    m_Error = error;
    return ok;
  }

  // One receive through the engine's entry, as the engine makes it.
  int Receive(char *buf, int len, sockaddr_in *from, int fromlen) {
    int nFromLen = fromlen;
    return g_pVCR->Hook_recvfrom(5, buf, len, 0,
                                 reinterpret_cast<sockaddr *>(from),
                                 from != nullptr ? &nFromLen : nullptr);
  }
  int ReceiveEmptyFrom(const char *pszAddress) {
    ScriptSender(pszAddress, 0);
    char buf[64];
    sockaddr_in from;
    return Receive(buf, sizeof buf, &from, sizeof from);
  }

  std::string Status() {
    m_Host.TakeOutput();
    StatusCommand();
    return m_Host.TakeOutput();
  }

  CaptureHost m_Host;
  RecordingCvar m_Cvar;
  RefusingHookService m_Hooks;
  std::string m_Error;
};

TEST(CreateInterfaceTest, AnswersOnlyTheExactName) {
  struct Case {
    const char *name;
    bool answers;
  } cases[] = {
      {nullptr, false},       {"ISmmPlugin", true},   {"ismmplugin", false},
      {"ISMMPLUGIN", false},  {"ISmmPlugin2", false}, {"ISmmPlugi", false},
      {"", false},
  };
  for (const Case &c : cases) {
    int returnCode = 0x5a5a;
    void *p = CreateInterface(c.name, &returnCode);
    EXPECT_EQ(p != nullptr, c.answers) << (c.name ? c.name : "(null)");
    EXPECT_EQ(returnCode, 0x5a5a) << "return code must stay untouched";
    if (c.answers) {
      EXPECT_EQ(p, static_cast<SourceMM::ISmmPlugin *>(&g_Quellgate));
      EXPECT_EQ(CreateInterface(c.name, nullptr), p);
    }
  }
}

TEST(MetadataTest, ReportsTheFixedTexts) {
  SourceMM::ISmmPlugin *p = &g_Quellgate;
  EXPECT_EQ(p->GetApiVersion(), 15);
  EXPECT_STREQ(p->GetName(), "Quellgate");
  EXPECT_STREQ(p->GetDescription(), "Prevent DoS attack cause server lag");
  EXPECT_STREQ(p->GetVersion(), "1.0.0.0");
  EXPECT_STREQ(p->GetDate(), "Jan 29 2010");
  EXPECT_STREQ(p->GetLogTag(), "QGAT");
  for (const char *text : {p->GetAuthor(), p->GetURL(), p->GetLicense()}) {
    ASSERT_NE(text, nullptr);
    EXPECT_GT(strlen(text), 0u);
  }
  char error[8] = "keep";
  EXPECT_TRUE(p->QueryRunning(error, sizeof error));
  EXPECT_TRUE(p->Pause(error, sizeof error));
  EXPECT_TRUE(p->Unpause(error, sizeof error));
  EXPECT_STREQ(error, "keep");
}

TEST_F(PluginTest, LoadInstallsTheFilterAndUnloadRestoresTheEntry) {
  for (bool late : {false, true}) {
    ASSERT_TRUE(Load(late));
    EXPECT_EQ(m_Host.TakeOutput(), kEnable);
    EXPECT_TRUE(g_bFilterEnabled);
    EXPECT_EQ(g_pVCR->Hook_recvfrom, &FilteredRecvFrom);
    EXPECT_EQ(g_pfnSavedRecvFrom, &ScriptedRecvFrom);
    EXPECT_EQ(g_pHostApi, &m_Host);
    EXPECT_EQ(g_pEngineCvar, &m_Cvar);
    EXPECT_EQ(g_PluginId, 3);

    EXPECT_EQ(ReceiveEmptyFrom("192.0.2.7"), 25);
    EXPECT_TRUE(g_Quellgate.Unload(nullptr, 0));
    EXPECT_EQ(m_Host.TakeOutput(), kDisable);
    EXPECT_EQ(g_pVCR->Hook_recvfrom, &ScriptedRecvFrom);
    EXPECT_EQ(g_Attackers.Size(), 0);
  }
}

TEST_F(PluginTest, UnloadAfterTheFilterWasSwitchedOffPrintsNothing) {
  ASSERT_TRUE(Load());
  DisableFilter();
  m_Host.TakeOutput();
  EXPECT_TRUE(g_Quellgate.Unload(nullptr, 0));
  EXPECT_EQ(m_Host.TakeOutput(), "");
}

TEST_F(PluginTest, FailedLoadReportsTheMissingInterfaceAndRemovesTheFilter) {
  struct Case {
    bool has_cvar;
    bool has_hooks;
    bool error_buffer;
    size_t maxlength;
    const char *expected_error;  // null: the buffer stays untouched
  } cases[] = {
      {false, true, true, 128, "Could not find interface: VEngineCvar007"},
      {false, true, true, 0, nullptr},
      {false, true, false, 128, nullptr},
      {false, true, true, 12, "Could not f"},
      {true, false, true, 128, "Could not find interface: ISourceHook"},
      {false, false, true, 128, "Could not find interface: VEngineCvar007"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected_error ? c.expected_error : "(untouched)");
    m_Host.m_pConsoleService = c.has_cvar ? &m_Cvar : nullptr;
    m_Host.m_pHookService = c.has_hooks ? &m_Hooks : nullptr;
    char error[128] = "untouched";
    bool ok = g_Quellgate.Load(4, &m_Host, c.error_buffer ? error : nullptr,
                               c.maxlength, false);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(error, c.expected_error ? c.expected_error : "untouched");
    EXPECT_EQ(m_Host.TakeOutput(), std::string(kEnable) + kDisable);
    EXPECT_FALSE(g_bFilterEnabled);
    EXPECT_EQ(g_pVCR->Hook_recvfrom, &ScriptedRecvFrom);
  }
}

TEST_F(PluginTest, SwitchPrintsOnlyOnARealChange) {
  g_pHostApi = &m_Host;
  EnableFilter();
  EnableFilter();
  EXPECT_EQ(m_Host.TakeOutput(), kEnable);
  EXPECT_EQ(g_pfnSavedRecvFrom, &ScriptedRecvFrom)
      << "a second EnableFilter must not save the filter itself";
  DisableFilter();
  DisableFilter();
  EXPECT_EQ(m_Host.TakeOutput(), kDisable);
  EXPECT_EQ(g_pVCR->Hook_recvfrom, &ScriptedRecvFrom);
}

TEST_F(PluginTest, DisableRestoresOverAModuleThatReplacedTheEntry) {
  g_pHostApi = &m_Host;
  EnableFilter();
  g_pVCR->Hook_recvfrom = &SystemLikeRecvFrom;
  DisableFilter();
  EXPECT_EQ(g_pVCR->Hook_recvfrom, &ScriptedRecvFrom);
}

// Every receive shape that reaches the filter: what it answers, whether it
// counts the sender, and which bytes of the caller's buffer it clears.
TEST_F(PluginTest, FilterAnswersEachReceiveShape) {
  struct Case {
    const char *what;
    int result;       // the saved entry's answer
    int len;          // the caller's buffer length
    bool from;        // the caller passes an address buffer
    int fromlen;      // the address buffer's length
    int expected;     // the filter's answer
    bool counted;     // 192.0.2.20 is in the table afterwards
  } cases[] = {
      {"data passes", 100, 64, true, 16, 100, false},
      {"error passes", -1, 64, true, 16, -1, false},
      {"empty counts", 0, 64, true, 16, 25, true},
      {"exactly 25", 0, 25, true, 16, 25, true},
      {"short buffer gets len", 0, 10, true, 16, 10, true},
      {"zero-length buffer", 0, 0, true, 16, 0, true},
      {"no address buffer", 0, 64, false, 0, 25, false},
      {"address buffer too short", 0, 64, true, 8, 25, false},
      {"larger address buffer", 0, 64, true, 128, 25, true},
  };
  g_pHostApi = &m_Host;
  EnableFilter();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ClearAttackers();
    ScriptSender("192.0.2.20", c.result);
    char buf[64];
    memset(buf, 0xAB, sizeof buf);
    alignas(sockaddr_in) unsigned char addr[128];
    memset(addr, 0, sizeof addr);
    int nFromLen = c.fromlen;
    int r = g_pVCR->Hook_recvfrom(5, buf, c.len, 0,
                                  c.from ? reinterpret_cast<sockaddr *>(addr)
                                         : nullptr,
                                  c.from ? &nFromLen : nullptr);
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(g_Attackers.Size(), c.counted ? 1 : 0);
    if (c.result == 0) {
      for (int i = 0; i < c.expected; ++i) ASSERT_EQ(buf[i], 0) << i;
      for (int i = c.expected; i < 64; ++i)
        ASSERT_EQ(buf[i], static_cast<char>(0xAB)) << i;
    } else {
      EXPECT_EQ(buf[0], static_cast<char>(0xAB)) << "data must pass untouched";
    }
  }
  EXPECT_EQ(g_Scripted.m_nCalls, static_cast<int>(std::size(cases)));
}

TEST_F(PluginTest, ReportListsAddressesInTheOrderFirstSeen) {
  struct Case {
    const char *what;
    std::vector<const char *> senders;
    const char *rows;
  } cases[] = {
      {"empty table", {}, ""},
      {"one sender twice", {"192.0.2.7", "192.0.2.7"}, " 192.0.2.7\t|\t2\n"},
      {"two senders",
       {"192.0.2.7", "192.0.2.8", "192.0.2.8", "192.0.2.8"},
       " 192.0.2.7\t|\t1\n 192.0.2.8\t|\t3\n"},
      {"first seen wins",
       {"192.0.2.8", "192.0.2.7", "192.0.2.8"},
       " 192.0.2.8\t|\t2\n 192.0.2.7\t|\t1\n"},
      {"any address", {"0.0.0.0", "255.255.255.255"},
       " 0.0.0.0\t|\t1\n 255.255.255.255\t|\t1\n"},
  };
  ASSERT_TRUE(Load());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ClearAttackers();
    for (const char *sender : c.senders) ASSERT_EQ(ReceiveEmptyFrom(sender), 25);
    EXPECT_EQ(Status(), std::string(kEnable) + kHeader + c.rows + kFooter);
  }
}

TEST_F(PluginTest, ReportShowsTheFilterStateAndKeepsRowsWhileOff) {
  ASSERT_TRUE(Load());
  ReceiveEmptyFrom("192.0.2.7");
  DisableFilter();
  EXPECT_EQ(Status(), std::string(kDisable) + kHeader + " 192.0.2.7\t|\t1\n" +
                          kFooter);
  // The filter is out of the entry: empty reads reach the engine as 0.
  EXPECT_EQ(ReceiveEmptyFrom("192.0.2.7"), 0);
}

TEST_F(PluginTest, ReloadStartsWithAnEmptyTable) {
  ASSERT_TRUE(Load());
  ReceiveEmptyFrom("192.0.2.7");
  g_Quellgate.Unload(nullptr, 0);
  ASSERT_TRUE(Load());
  EXPECT_EQ(Status(), std::string(kEnable) + kHeader + kFooter);
  ReceiveEmptyFrom("192.0.2.7");
  EXPECT_EQ(Status(), std::string(kEnable) + kHeader + " 192.0.2.7\t|\t1\n" +
                          kFooter);
}

TEST_F(PluginTest, CountWrapsToNegativeInTheReport) {
  ASSERT_TRUE(Load());
  ReceiveEmptyFrom("192.0.2.7");
  g_Attackers.First()->record->packets = 2147483647u;
  ReceiveEmptyFrom("192.0.2.7");
  EXPECT_EQ(Status(), std::string(kEnable) + kHeader +
                          " 192.0.2.7\t|\t-2147483648\n" + kFooter);
}

}  // namespace
