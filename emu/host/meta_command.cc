#include "emu/host/meta_command.h"

#include <limits.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "emu/console/command_args.h"

namespace {

const char kUsage[] =
    "Usage: meta <command>\n"
    "  meta list           lists the loaded plugins: [ID] NAME (VERSION) by "
    "AUTHOR\n"
    "  meta load PATH      loads the plugin library at PATH\n"
    "  meta unload ID      unloads the plugin with that id\n";

const char *const kSubcommands[] = {"list", "load", "unload"};

// A plugin's texts may be null; the console line never is.
std::string Text(const char *psz) { return psz != nullptr ? psz : ""; }

bool BeginsNoCase(const char *pszText, const char *pszPrefix, size_t nPrefix) {
  return strncasecmp(pszText, pszPrefix, nPrefix) == 0;
}

}  // namespace

int ParsePluginId(const char *pszText) {
  if (pszText == nullptr || pszText[0] == '\0') return 0;
  long long n = 0;
  for (const char *p = pszText; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (*p - '0');
    if (n > INT_MAX) return 0;
  }
  return static_cast<int>(n);
}

CMetaCommand::CMetaCommand(CPluginHost *pHost)
    : m_pHost(pHost),
      m_Command("meta", static_cast<ICommandHandler *>(this),
                "Lists, loads and unloads plugins: meta list | meta load "
                "PATH | meta unload ID",
                0, static_cast<ICompletionSource *>(this)) {}

void CMetaCommand::HandleCommand(const CCommandArgs &args) {
  const char *pszSub = args.Arg(1);
  if (args.ArgC() < 2) {
    PrintUsage();
  } else if (strcasecmp(pszSub, "list") == 0) {
    List();
  } else if (strcasecmp(pszSub, "load") == 0) {
    Load(args);
  } else if (strcasecmp(pszSub, "unload") == 0) {
    Unload(args);
  } else {
    m_pHost->ConPrintf("Unknown meta command \"%s\"\n", pszSub);
    PrintUsage();
  }
}

void CMetaCommand::PrintUsage() { m_pHost->ConPrint(kUsage); }

void CMetaCommand::List() {
  if (m_pHost->Plugins().empty()) {
    m_pHost->ConPrint("No plugins loaded\n");
    return;
  }
  for (const auto &pLoaded : m_pHost->Plugins()) {
    SourceMM::ISmmPlugin *pPlugin = pLoaded->m_pPlugin;
    m_pHost->ConPrintf("[%d] %s (%s) by %s\n", pLoaded->m_Id,
                       Text(pPlugin->GetName()).c_str(),
                       Text(pPlugin->GetVersion()).c_str(),
                       Text(pPlugin->GetAuthor()).c_str());
  }
}

void CMetaCommand::Load(const CCommandArgs &args) {
  if (args.ArgC() != 3 || args.Arg(2)[0] == '\0') {
    m_pHost->ConPrint("Usage: meta load PATH\n");
    return;
  }
  // The host says why a load failed (no such file, already loaded, Load
  // refused), in its own words.
  SourceMM::PluginId id = m_pHost->LoadPlugin(args.Arg(2), true);
  if (id == 0) return;
  const CPluginHost::LoadedPlugin *pLoaded = m_pHost->FindPlugin(id);
  m_pHost->ConPrintf("Loaded plugin [%d] %s\n", id,
                     Text(pLoaded->m_pPlugin->GetName()).c_str());
}

void CMetaCommand::Unload(const CCommandArgs &args) {
  if (args.ArgC() != 3) {
    m_pHost->ConPrint("Usage: meta unload ID\n");
    return;
  }
  SourceMM::PluginId id = ParsePluginId(args.Arg(2));
  if (id == 0) {
    m_pHost->ConPrintf("\"%s\" is not a plugin id; \"meta list\" shows them\n",
                       args.Arg(2));
    return;
  }
  const CPluginHost::LoadedPlugin *pLoaded = m_pHost->FindPlugin(id);
  if (pLoaded == nullptr) {
    m_pHost->ConPrintf("No plugin is loaded as [%d]\n", id);
    return;
  }
  // Copied now: the name lives in the library, which the unload closes.
  std::string strName = Text(pLoaded->m_pPlugin->GetName());
  m_pHost->UnloadPlugin(id);
  m_pHost->ConPrintf("Unloaded plugin [%d] %s\n", id, strName.c_str());
}

int CMetaCommand::ListCompletions(const char *pszPartial,
                                  CGrowableVector<CTextString> &suggestions) {
  // pszPartial is the whole line so far: the command's name, blanks, and
  // what follows.
  const char *p = pszPartial;
  while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  while (*p == ' ' || *p == '\t') ++p;
  const char *pszBlank = strpbrk(p, " \t");
  int nAdded = 0;
  auto add = [&](const std::string &strSuggestion) {
    CTextString text(strSuggestion.c_str());
    if (suggestions.Append(text) >= 0) ++nAdded;
  };
  if (pszBlank == nullptr) {
    for (const char *pszSub : kSubcommands) {
      if (BeginsNoCase(pszSub, p, strlen(p))) {
        add(std::string("meta ") + pszSub);
      }
    }
    return nAdded;
  }
  if (!(pszBlank - p == 6 && BeginsNoCase(p, "unload", 6))) return 0;
  const char *pszId = pszBlank;
  while (*pszId == ' ' || *pszId == '\t') ++pszId;
  for (const auto &pLoaded : m_pHost->Plugins()) {
    std::string strId = std::to_string(pLoaded->m_Id);
    if (strId.compare(0, strlen(pszId), pszId) == 0) {
      add("meta unload " + strId);
    }
  }
  return nAdded;
}
