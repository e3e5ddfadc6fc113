// A plugin for the host's tests, built in several variants (see host.cmake):
//   TEST_PLUGIN_NAME      its name, printed in its messages
//   TEST_PLUGIN_OBJECTS   how many console objects Load registers
//   TEST_PLUGIN_FAIL      Load registers its objects, then fails
//   TEST_PLUGIN_NO_PLUGIN CreateInterface answers null to "ISmmPlugin"
//   TEST_PLUGIN_NO_FACTORY the library exports no CreateInterface
//   TEST_PLUGIN_NULL_TEXTS its name, version and author are null
// Its console objects are opaque blocks: the host never looks into them.
#include "host/ICvar.h"
#include "host/ISmmAPI.h"
#include "host/ISmmPlugin.h"
#include "host/platform.h"

namespace {

#ifndef TEST_PLUGIN_OBJECTS
#define TEST_PLUGIN_OBJECTS 0
#endif

char s_Objects[TEST_PLUGIN_OBJECTS + 1][16];

class CTestPlugin : public SourceMM::ISmmPlugin {
 public:
  bool Load(SourceMM::PluginId id, SourceMM::ISmmAPI *ismm, char *error,
            size_t maxlength, bool late) override {
    m_pApi = ismm;
    void *pHooks = ismm->MetaFactory("ISourceHook", nullptr, nullptr);
    void *pCvar = ismm->VInterfaceMatch(ismm->GetEngineFactory(true),
                                        CVAR_INTERFACE_VERSION, -1);
    ismm->ConPrintf("%s load [%d] late %d hooks %s cvar %s\n",
                    TEST_PLUGIN_NAME, id, late ? 1 : 0,
                    pHooks != nullptr ? "yes" : "no",
                    pCvar != nullptr ? "yes" : "no");
    for (int i = 0; i < TEST_PLUGIN_OBJECTS; ++i) {
      ismm->RegisterConCommandBase(
          this, reinterpret_cast<ConCommandBase *>(s_Objects[i]));
    }
#ifdef TEST_PLUGIN_FAIL
    ismm->Format(error, maxlength, "%s was told to fail", TEST_PLUGIN_NAME);
    return false;
#else
    return true;
#endif
  }
  bool Unload(char *error, size_t maxlength) override {
    m_pApi->ConPrintf("%s unload\n", TEST_PLUGIN_NAME);
    return true;
  }
#ifdef TEST_PLUGIN_NULL_TEXTS
  const char *GetAuthor() override { return nullptr; }
  const char *GetName() override { return nullptr; }
  const char *GetVersion() override { return nullptr; }
#else
  const char *GetAuthor() override { return "the tests"; }
  const char *GetName() override { return TEST_PLUGIN_NAME; }
  const char *GetVersion() override { return "0.1"; }
#endif
  const char *GetDescription() override { return "a plugin for the tests"; }
  const char *GetURL() override { return ""; }
  const char *GetLicense() override { return ""; }
  const char *GetDate() override { return ""; }
  const char *GetLogTag() override { return "TEST"; }

 private:
  SourceMM::ISmmAPI *m_pApi = nullptr;
};

CTestPlugin s_Plugin;

}  // namespace

// The blocks registered as console objects, for the tests to compare with.
extern "C" QG_EXPORT void *TestPlugin_Object(int index) {
  return s_Objects[index];
}

#ifndef TEST_PLUGIN_NO_FACTORY
extern "C" QG_EXPORT void *CreateInterface(const char *name, int *returnCode) {
#ifdef TEST_PLUGIN_NO_PLUGIN
  return nullptr;
#else
  return static_cast<SourceMM::ISmmPlugin *>(&s_Plugin);
#endif
}
#endif
