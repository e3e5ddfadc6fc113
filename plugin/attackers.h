// Counting empty datagrams per sender, and the status report.  The engine
// may receive on a network thread while the console reports or unloads on
// another: these operations serialise on a short lock of their own.
#ifndef QUELLGATE_PLUGIN_ATTACKERS_H_
#define QUELLGATE_PLUGIN_ATTACKERS_H_

#include "plugin/attacker_table.h"

extern AttackerTable g_Attackers;

// Counts one empty datagram from octet1.octet2.octet3.octet4.  A sender
// already seen costs no allocation.  A new sender that finds the table full,
// or no memory for its record, is counted in the table's other-address
// total, so the report loses nothing.
void RecordAttacker(int octet1, int octet2, int octet3, int octet4);
// Frees every record and empties the table.
void ClearAttackers();
// The handler of "qgat_status": the filter state line, the header, one row
// per address in the order first seen, the other-address total when there
// is one, and the footer.
void StatusCommand();

#endif  // QUELLGATE_PLUGIN_ATTACKERS_H_
