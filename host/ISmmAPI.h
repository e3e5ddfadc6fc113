// The plugin host's API object, handed to ISmmPlugin::Load.  Operations
// only, in the host's published order.
#ifndef QUELLGATE_HOST_ISMMAPI_H_
#define QUELLGATE_HOST_ISMMAPI_H_

#include <stddef.h>

#include "host/ISmmPlugin.h"

class ConCommandBase;

namespace SourceMM {

class ISmmAPI {
 public:
  // The host's own interfaces by name ("ISourceHook" answers the hook
  // service).  Either out-pointer may be null.
  virtual void *MetaFactory(const char *iface, int *ret, PluginId *id) = 0;
  // The engine's interface factory.  `syn` asks for the host's wrapper of it.
  virtual CreateInterfaceFn GetEngineFactory(bool syn) = 0;
  // Asks `fn` for `iface`; a minimum version of -1 accepts any version.
  // Answers null when the factory has no such interface.
  virtual void *VInterfaceMatch(CreateInterfaceFn fn, const char *iface,
                                int min) = 0;
  // Formats like snprintf; the output is always terminated within
  // `maxlength` when `maxlength` is non-zero.  Answers the length written.
  virtual size_t Format(char *buffer, size_t maxlength, const char *fmt,
                        ...) __attribute__((format(printf, 4, 5))) = 0;
  // Hands a console object to the engine's console service on behalf of
  // `plugin`, which the host remembers as the object's owner.
  virtual bool RegisterConCommandBase(ISmmPlugin *plugin,
                                      ConCommandBase *pCommand) = 0;
  // Server console output.
  virtual void ConPrint(const char *str) = 0;
  virtual void ConPrintf(const char *fmt, ...)
      __attribute__((format(printf, 2, 3))) = 0;
};

}  // namespace SourceMM

#endif  // QUELLGATE_HOST_ISMMAPI_H_
