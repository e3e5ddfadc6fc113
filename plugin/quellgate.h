// The plugin object that the host loads: its metadata, and the two
// lifecycle operations that switch the receive filter on and off.  The
// object carries no data; all state lives in module-wide variables.
#ifndef QUELLGATE_PLUGIN_QUELLGATE_H_
#define QUELLGATE_PLUGIN_QUELLGATE_H_

#include "console/concommandbase.h"
#include "host/ISmmPlugin.h"

// Its second face is the console framework's registration accessor: every
// console object of the library reaches the host through it.
class Quellgate : public SourceMM::ISmmPlugin, public IConCommandBaseAccessor {
 public:
  // Saves the host's services, switches the filter on, finds the engine's
  // console service, builds the console controls and registers them with
  // the host.  Fails, with the filter off again, nothing hooked or
  // registered, and the message "Could not find interface: NAME" in
  // `error`, when the host yields no console service or no hook service.
  bool Load(SourceMM::PluginId id, SourceMM::ISmmAPI *ismm, char *error,
            size_t maxlength, bool late) override;
  // Detaches the change handler, then switches the filter off and empties
  // the attacker table.  The console objects stay; withdrawing them is the
  // host's business.  Always true.
  bool Unload(char *error, size_t maxlength) override;

  const char *GetAuthor() override;
  const char *GetName() override;
  const char *GetDescription() override;
  const char *GetURL() override;
  const char *GetLicense() override;
  const char *GetVersion() override;
  const char *GetDate() override;
  const char *GetLogTag() override;

  // Passes the object to the host on behalf of this plugin; answers true
  // whatever the host says.
  bool RegisterConCommandBase(ConCommandBase *pCommand) override;
};

extern Quellgate g_Quellgate;

#endif  // QUELLGATE_PLUGIN_QUELLGATE_H_
