#include "emu/host/plugin_host.h"

#include <ctype.h>
#include <dlfcn.h>
#include <stdarg.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

enum { IFACE_OK = 0, IFACE_FAILED = 1 };

// The host whose engine interfaces the static factory answers: the newest
// one still alive.  The emulated engine runs one host per process.
CPluginHost *s_pEngineHost = nullptr;

// Big enough for any message a plugin writes on a failed Load or Unload.
constexpr size_t kErrorSize = 256;

}  // namespace

CPluginHost::CPluginHost(IConsoleOutput *pOutput, ICvar *pConsoleService)
    : m_pOutput(pOutput), m_pConsoleService(pConsoleService) {
  s_pEngineHost = this;
}

CPluginHost::~CPluginHost() {
  UnloadAllPlugins();
  if (s_pEngineHost == this) s_pEngineHost = nullptr;
}

std::string CPluginHost::ResolvePluginPath(const char *pszPath) {
  if (strchr(pszPath, '/') != nullptr) return pszPath;
  char szExe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
  if (n <= 0) return pszPath;
  szExe[n] = '\0';
  char *pSlash = strrchr(szExe, '/');
  if (pSlash == nullptr) return pszPath;
  pSlash[1] = '\0';
  return std::string(szExe) + pszPath;
}

SourceMM::PluginId CPluginHost::LoadPlugin(const char *pszPath, bool bLate) {
  if (pszPath == nullptr || pszPath[0] == '\0') {
    ConPrint("Failed to load plugin: no file given\n");
    return 0;
  }
  // From the first byte of the library until its Load has returned (or it
  // is closed again after a failed one): a Load that fails may already have
  // installed its receive filter before it takes it out.
  CQuiesceScope quiesce(m_pQuiesce);
  // Resolved here rather than left to dlopen's own search, which depends on
  // who calls it (a sanitizer's interceptor has no $ORIGIN of ours).
  std::string strFile = ResolvePluginPath(pszPath);
  void *pHandle = dlopen(strFile.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (pHandle == nullptr) {
    const char *pszWhy = dlerror();
    ConPrintf("Failed to load plugin %s: %s\n", pszPath,
              pszWhy != nullptr ? pszWhy : "cannot open the library");
    return 0;
  }
  CreateInterfaceFn pfnCreate =
      reinterpret_cast<CreateInterfaceFn>(dlsym(pHandle, "CreateInterface"));
  if (pfnCreate == nullptr) {
    ConPrintf("Failed to load plugin %s: no CreateInterface\n", pszPath);
    dlclose(pHandle);
    return 0;
  }
  int nReturnCode = IFACE_OK;
  SourceMM::ISmmPlugin *pPlugin =
      static_cast<SourceMM::ISmmPlugin *>(pfnCreate("ISmmPlugin", &nReturnCode));
  if (pPlugin == nullptr) {
    ConPrintf("Failed to load plugin %s: no ISmmPlugin interface\n", pszPath);
    dlclose(pHandle);
    return 0;
  }
  // A library that is already loaded maps to the same plugin object (dlopen
  // counts references), so a second Load would run on a live plugin.
  for (const auto &pLoaded : m_Plugins) {
    if (pLoaded->m_pPlugin == pPlugin) {
      ConPrintf("Plugin %s is already loaded as [%d]\n", pszPath,
                pLoaded->m_Id);
      dlclose(pHandle);
      return 0;
    }
  }

  // The record exists before Load runs: the plugin registers its console
  // objects from inside Load, and the host must know whose they are.
  auto pRecord = std::make_unique<LoadedPlugin>();
  pRecord->m_Id = m_NextId++;
  pRecord->m_strPath = pszPath;
  pRecord->m_pHandle = pHandle;
  pRecord->m_pPlugin = pPlugin;
  pRecord->m_bLoaded = false;
  LoadedPlugin *pLoading = pRecord.get();
  m_Plugins.push_back(std::move(pRecord));

  char szError[kErrorSize] = "";
  bool bOk = pPlugin->Load(pLoading->m_Id, this, szError, sizeof szError, bLate);
  szError[sizeof szError - 1] = '\0';
  if (!bOk) {
    ConPrintf("Failed to load plugin %s: %s\n", pszPath,
              szError[0] != '\0' ? szError : "Load refused without a reason");
    // Whatever a failed Load left registered or hooked goes with it: the
    // library is about to be closed.
    auto it = std::find_if(
        m_Plugins.begin(), m_Plugins.end(),
        [pLoading](const auto &p) { return p.get() == pLoading; });
    std::unique_ptr<LoadedPlugin> pFailed = std::move(*it);
    m_Plugins.erase(it);
    ReleasePlugin(pFailed.get());
    return 0;
  }
  pLoading->m_bLoaded = true;
  return pLoading->m_Id;
}

bool CPluginHost::UnloadPlugin(SourceMM::PluginId id) {
  auto it = std::find_if(m_Plugins.begin(), m_Plugins.end(),
                         [id](const auto &p) { return p->m_Id == id; });
  if (it == m_Plugins.end()) return false;
  // Unload takes the plugin's receive filter out, but a thread that read the
  // entry just before may still be inside the filter: it is parked outside
  // until the library is closed.
  CQuiesceScope quiesce(m_pQuiesce);
  // Out of the list first: nothing that Unload triggers can reach a plugin
  // on its way out through the host.
  std::unique_ptr<LoadedPlugin> pPlugin = std::move(*it);
  m_Plugins.erase(it);

  char szError[kErrorSize] = "";
  if (!pPlugin->m_pPlugin->Unload(szError, sizeof szError)) {
    szError[sizeof szError - 1] = '\0';
    // The host unloads anyway: its objects and hooks are withdrawn below,
    // so nothing can call into the library once it is closed.
    ConPrintf("Plugin [%d] refused to unload (%s); unloaded anyway\n",
              pPlugin->m_Id, szError[0] != '\0' ? szError : "no reason given");
  }
  ReleasePlugin(pPlugin.get());
  return true;
}

void CPluginHost::UnloadAllPlugins() {
  while (!m_Plugins.empty()) UnloadPlugin(m_Plugins.back()->m_Id);
}

const CPluginHost::LoadedPlugin *CPluginHost::FindPlugin(
    SourceMM::PluginId id) const {
  for (const auto &pPlugin : m_Plugins) {
    if (pPlugin->m_Id == id) return pPlugin.get();
  }
  return nullptr;
}

void CPluginHost::ReleasePlugin(LoadedPlugin *pPlugin) {
  // The objects live in the plugin's memory: the console service must let
  // go of them before the library is closed.
  if (m_pConsoleService != nullptr) {
    for (auto it = pPlugin->m_ConsoleObjects.rbegin();
         it != pPlugin->m_ConsoleObjects.rend(); ++it) {
      m_pConsoleService->UnregisterConCommand(*it);
    }
  }
  pPlugin->m_ConsoleObjects.clear();
  m_HookService.RemovePluginHooks(pPlugin->m_Id);
  dlclose(pPlugin->m_pHandle);
  pPlugin->m_pHandle = nullptr;
}

void *CPluginHost::MetaFactory(const char *iface, int *ret,
                               SourceMM::PluginId *id) {
  void *pAnswer = nullptr;
  if (iface != nullptr && strcmp(iface, "ISourceHook") == 0) {
    pAnswer = static_cast<SourceHook::ISourceHook *>(&m_HookService);
  }
  if (ret != nullptr) *ret = pAnswer != nullptr ? IFACE_OK : IFACE_FAILED;
  if (id != nullptr) *id = 0;  // the host's own interfaces
  return pAnswer;
}

CreateInterfaceFn CPluginHost::GetEngineFactory(bool syn) {
  return &CPluginHost::EngineFactory;
}

void *CPluginHost::EngineFactory(const char *pszName, int *pReturnCode) {
  void *pAnswer = s_pEngineHost != nullptr
                      ? s_pEngineHost->FindEngineInterface(pszName)
                      : nullptr;
  if (pReturnCode != nullptr) {
    *pReturnCode = pAnswer != nullptr ? IFACE_OK : IFACE_FAILED;
  }
  return pAnswer;
}

void *CPluginHost::FindEngineInterface(const char *pszName) const {
  if (pszName != nullptr && m_pConsoleService != nullptr &&
      strcmp(pszName, CVAR_INTERFACE_VERSION) == 0) {
    return m_pConsoleService;
  }
  return nullptr;
}

// Asks for the exact name first.  With a minimum version of 0 or more, a
// name ending in a version number (VEngineCvar007) is then asked for with
// each lower number down to the minimum, keeping the number's width.
void *CPluginHost::VInterfaceMatch(CreateInterfaceFn fn, const char *iface,
                                   int min) {
  if (fn == nullptr || iface == nullptr) return nullptr;
  // Our own factory answers from this host, whichever host is newest.
  auto ask = [this, fn](const char *pszName) -> void * {
    if (fn == &CPluginHost::EngineFactory) return FindEngineInterface(pszName);
    int nReturnCode = IFACE_OK;
    return fn(pszName, &nReturnCode);
  };
  void *pAnswer = ask(iface);
  if (pAnswer != nullptr || min < 0) return pAnswer;

  size_t nLength = strlen(iface);
  size_t nDigits = 0;
  while (nDigits < nLength && nDigits < 9 &&
         isdigit(static_cast<unsigned char>(iface[nLength - 1 - nDigits]))) {
    ++nDigits;
  }
  if (nDigits == 0) return nullptr;
  std::string strBase(iface, nLength - nDigits);
  int nVersion = atoi(iface + nLength - nDigits);
  for (int v = nVersion - 1; v >= min && pAnswer == nullptr; --v) {
    char szName[256];
    snprintf(szName, sizeof szName, "%s%0*d", strBase.c_str(),
             static_cast<int>(nDigits), v);
    pAnswer = ask(szName);
  }
  return pAnswer;
}

size_t CPluginHost::Format(char *buffer, size_t maxlength, const char *fmt,
                           ...) {
  if (buffer == nullptr || maxlength == 0) return 0;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buffer, maxlength, fmt != nullptr ? fmt : "", ap);
  va_end(ap);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[maxlength - 1] = '\0';
  return std::min(static_cast<size_t>(n), maxlength - 1);
}

bool CPluginHost::RegisterConCommandBase(SourceMM::ISmmPlugin *plugin,
                                         ConCommandBase *pCommand) {
  if (pCommand == nullptr || m_pConsoleService == nullptr) return false;
  LoadedPlugin *pOwner = nullptr;
  for (const auto &pPlugin : m_Plugins) {
    if (pPlugin->m_pPlugin == plugin) pOwner = pPlugin.get();
  }
  // Only a plugin of this host registers: otherwise nobody would withdraw
  // the object before its library goes away.
  if (pOwner == nullptr) return false;
  m_pConsoleService->RegisterConCommand(pCommand);
  // The service refuses a second object of the same name; only what it
  // holds is the plugin's to withdraw.
  if (!IsHeldByConsoleService(pCommand)) return false;
  auto &objects = pOwner->m_ConsoleObjects;
  if (std::find(objects.begin(), objects.end(), pCommand) == objects.end()) {
    objects.push_back(pCommand);
  }
  return true;
}

bool CPluginHost::IsHeldByConsoleService(ConCommandBase *pCommand) const {
  for (int i = 0;; ++i) {
    ConCommandBase *pHeld = m_pConsoleService->GetCommand(i);
    if (pHeld == nullptr) return false;
    if (pHeld == pCommand) return true;
  }
}

void CPluginHost::ConPrint(const char *str) {
  if (str != nullptr) m_pOutput->Print(str);
}

void CPluginHost::ConPrintf(const char *fmt, ...) {
  if (fmt == nullptr) return;
  char szBuffer[1024];
  va_list ap;
  va_start(ap, fmt);
  va_list apCopy;
  va_copy(apCopy, ap);
  int n = vsnprintf(szBuffer, sizeof szBuffer, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(apCopy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof szBuffer) {
    va_end(apCopy);
    m_pOutput->Print(szBuffer);
    return;
  }
  // Long output is printed whole, never cut.
  std::string strLong(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&strLong[0], strLong.size(), fmt, apCopy);
  va_end(apCopy);
  strLong.resize(static_cast<size_t>(n));
  m_pOutput->Print(strLong.c_str());
}
