// The library's one exported function.  The host asks it for "ISmmPlugin"
// and receives the plugin object; any other name, in any other letter case,
// gets null.  The return-code integer is never touched.
#include <string.h>

#include "host/platform.h"
#include "plugin/quellgate.h"

extern "C" QG_EXPORT void *CreateInterface(const char *name, int *returnCode) {
  if (name != nullptr && strcmp(name, "ISmmPlugin") == 0) {
    return static_cast<SourceMM::ISmmPlugin *>(&g_Quellgate);
  }
  return nullptr;
}
