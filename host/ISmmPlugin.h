// The plugin host's published plugin interface.  The host obtains one
// object of this type from CreateInterface("ISmmPlugin") and drives it
// through these operations.  The order of the virtual operations is the
// contract with the host: do not reorder, insert or remove.
#ifndef QUELLGATE_HOST_ISMMPLUGIN_H_
#define QUELLGATE_HOST_ISMMPLUGIN_H_

#include <stddef.h>

namespace SourceMM {

class ISmmAPI;

// The host's identifier for a loaded plugin.
typedef int PluginId;

// The interface version that a plugin of this generation reports.
enum { PLUGIN_API_VERSION = 15 };

class ISmmPlugin {
 public:
  virtual int GetApiVersion() { return PLUGIN_API_VERSION; }
  virtual ~ISmmPlugin() {}
  virtual bool Load(PluginId id, ISmmAPI *ismm, char *error, size_t maxlength,
                    bool late) = 0;
  virtual void AllPluginsLoaded() {}
  virtual bool QueryRunning(char *error, size_t maxlength) { return true; }
  virtual bool Unload(char *error, size_t maxlength) = 0;
  virtual bool Pause(char *error, size_t maxlength) { return true; }
  virtual bool Unpause(char *error, size_t maxlength) { return true; }
  virtual const char *GetAuthor() = 0;
  virtual const char *GetName() = 0;
  virtual const char *GetDescription() = 0;
  virtual const char *GetURL() = 0;
  virtual const char *GetLicense() = 0;
  virtual const char *GetVersion() = 0;
  virtual const char *GetDate() = 0;
  virtual const char *GetLogTag() = 0;
};

}  // namespace SourceMM

// The library's one exported function: answers "ISmmPlugin" with the plugin
// object, anything else with null.
typedef void *(*CreateInterfaceFn)(const char *name, int *returnCode);

#endif  // QUELLGATE_HOST_ISMMPLUGIN_H_
