// The host's console command "meta": the operator's handle on the plugin
// host from the server console.
//
//   meta               prints the usage
//   meta list          one line per loaded plugin, in load order:
//                      [ID] NAME (VERSION) by AUTHOR
//                      or "No plugins loaded" when there is none
//   meta load PATH     loads the plugin library at PATH (as dlopen finds
//                      it: a name without a '/' is searched beside the
//                      server) and prints "Loaded plugin [ID] NAME"
//   meta unload ID     unloads the plugin with that id and prints
//                      "Unloaded plugin [ID] NAME"
//
// Every refusal is a clear message on the console: an id that is not a
// number, an id no plugin has, a missing or surplus argument to load or
// unload (the subcommand's usage line), an unknown subcommand (and the
// usage); a library that cannot be loaded, or is loaded already, is
// reported by the host in its own words.  `meta list` ignores arguments.
// Subcommand names ignore letter case, as console names do.
//
// The command is a console object of the host's module, on the engine's
// copy of the console framework: it enters the module's pending list when
// built, or registers at once if the module's walk has run.
#ifndef QUELLGATE_EMU_HOST_META_COMMAND_H_
#define QUELLGATE_EMU_HOST_META_COMMAND_H_

#include "console/concommand.h"
#include "emu/host/plugin_host.h"

class CMetaCommand : private ICommandHandler, private ICompletionSource {
 public:
  // `pHost` must outlive the command.  The command does not withdraw itself
  // from the console service: withdraw it before it goes, if the service
  // lives on.
  explicit CMetaCommand(CPluginHost *pHost);
  CMetaCommand(const CMetaCommand &) = delete;
  CMetaCommand &operator=(const CMetaCommand &) = delete;

  ConCommand *Command() { return &m_Command; }

 private:
  void HandleCommand(const CCommandArgs &args) override;
  // Completes the subcommand, and the ids after "meta unload ".
  int ListCompletions(const char *pszPartial,
                      CGrowableVector<CTextString> &suggestions) override;

  void List();
  void Load(const CCommandArgs &args);
  void Unload(const CCommandArgs &args);
  void PrintUsage();

  CPluginHost *m_pHost;
  ConCommand m_Command;
};

// The id in `pszText`: decimal digits only, from 1 to INT_MAX.  Answers 0
// for anything else.
int ParsePluginId(const char *pszText);

#endif  // QUELLGATE_EMU_HOST_META_COMMAND_H_
