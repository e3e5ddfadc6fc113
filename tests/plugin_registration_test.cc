// The first successful Load in a fresh library registers every pending
// console object through the plugin, newest first: the switch variable,
// the status command, the version variable, then the framework's
// placeholder.  The registration walk runs once per library, so this test
// has a process of its own.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/concommandbase.h"
#include "plugin/quellgate.h"
#include "tests/plugin_fixture.h"

namespace {

class NamingHost : public CaptureHost {
 public:
  std::vector<std::string> m_Names;
  std::vector<SourceMM::ISmmPlugin *> m_Owners;
  bool RegisterConCommandBase(SourceMM::ISmmPlugin *plugin,
                              ConCommandBase *pCommand) override {
    m_Names.push_back(pCommand->GetName());
    m_Owners.push_back(plugin);
    return false;  // a refusal changes nothing for the plugin
  }
};

TEST(RegistrationTest, HostReceivesTheObjectsNewestFirst) {
  NamingHost host;
  RecordingCvar service(7);
  RefusingHookService hooks;
  host.m_pConsoleService = &service;
  host.m_pHookService = &hooks;
  g_pVCR->Hook_recvfrom = &ScriptedRecvFrom;

  // A failed load registers nothing; the objects it made wait.
  host.m_pConsoleService = nullptr;
  EXPECT_FALSE(g_Quellgate.Load(1, &host, nullptr, 0, false));
  EXPECT_TRUE(host.m_Names.empty());

  host.m_pConsoleService = &service;
  ASSERT_TRUE(g_Quellgate.Load(2, &host, nullptr, 0, false));
  std::vector<std::string> expected = {"qgat_enable", "qgat_status",
                                       "qgat_version", "qgat_status",
                                       "qgat_version", ""};
  EXPECT_EQ(host.m_Names, expected)
      << "the failed load's objects also wait in the pending list";
  for (SourceMM::ISmmPlugin *owner : host.m_Owners)
    EXPECT_EQ(owner, static_cast<SourceMM::ISmmPlugin *>(&g_Quellgate));
  EXPECT_EQ(g_pCVar, &service);
  EXPECT_EQ(s_nModuleId, 7);
  g_Quellgate.Unload(nullptr, 0);
}

}  // namespace
