// The plugin object that the host loads: its metadata, and the two
// lifecycle operations that switch the receive filter on and off.  The
// object carries no data; all state lives in module-wide variables.
#ifndef QUELLGATE_PLUGIN_QUELLGATE_H_
#define QUELLGATE_PLUGIN_QUELLGATE_H_

#include "host/ISmmPlugin.h"

class Quellgate : public SourceMM::ISmmPlugin {
 public:
  // Saves the host's services, switches the filter on and finds the
  // engine's console service.  Fails, with the filter off again and the
  // message "Could not find interface: NAME" in `error`, when the host
  // yields no console service or no hook service.
  bool Load(SourceMM::PluginId id, SourceMM::ISmmAPI *ismm, char *error,
            size_t maxlength, bool late) override;
  // Switches the filter off and empties the attacker table.  Always true.
  bool Unload(char *error, size_t maxlength) override;

  const char *GetAuthor() override;
  const char *GetName() override;
  const char *GetDescription() override;
  const char *GetURL() override;
  const char *GetLicense() override;
  const char *GetVersion() override;
  const char *GetDate() override;
  const char *GetLogTag() override;
};

extern Quellgate g_Quellgate;

#endif  // QUELLGATE_PLUGIN_QUELLGATE_H_
