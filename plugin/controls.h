// The operator's console controls: the switch variable "qgat_enable", the
// version variable "qgat_version" and the status command "qgat_status";
// the change handler through which the switch turns the receive filter on
// and off; and the set-up and tear-down that Load and Unload run for them.
#ifndef QUELLGATE_PLUGIN_CONTROLS_H_
#define QUELLGATE_PLUGIN_CONTROLS_H_

#include "console/concommandbase.h"

class ConVar;

// The switch variable once Load made it; never reset.
extern ConVar *g_pEnableVar;

// Builds the version variable and the status command.  They wait in the
// pending list until the registration walk.
void CreateVersionAndStatus();
// Builds the switch variable, attaches OnConVarChange before the console
// service's change broadcast, and registers every pending console object
// through `pAccessor`.  Needs g_pCVar set.
void CreateSwitchAndRegister(IConCommandBaseAccessor *pAccessor);
// Detaches OnConVarChange from the change broadcast.
void DetachChangeHandler();

// Heard before every change broadcast of the console service.  On a real
// change of the switch variable's text, its integer value 1 switches the
// filter on and any other value switches it off; other variables and
// unchanged texts are ignored.
void OnConVarChange(ConVar *var, const char *pOldValue, float flOldValue);

#endif  // QUELLGATE_PLUGIN_CONTROLS_H_
