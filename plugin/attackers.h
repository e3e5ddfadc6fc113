// The attacker table: for every IPv4 address that sent empty datagrams, how
// many arrived, in the order the addresses were first seen.  It lives from
// library start-up to exit and is emptied at every unload.
#ifndef QUELLGATE_PLUGIN_ATTACKERS_H_
#define QUELLGATE_PLUGIN_ATTACKERS_H_

#include <stdint.h>

struct AttackerRecord {
  int32_t octet1;  // first octet of the dotted address
  int32_t octet2;
  int32_t octet3;
  int32_t octet4;
  uint32_t packets;  // wraps modulo 2^32; reported as a signed decimal
};

struct AttackerNode {
  AttackerRecord *record;
  AttackerNode *next;  // the sentinel after the last node
  AttackerNode *prev;  // the sentinel before the first node
};

// An insertion-ordered ring of record pointers with a sentinel.  The table
// owns its nodes, not the records they point to.
class AttackerTable {
 public:
  AttackerTable();
  ~AttackerTable();
  AttackerTable(const AttackerTable &) = delete;
  AttackerTable &operator=(const AttackerTable &) = delete;

  // Adds a node for `record` at the back.  Answers false, leaving the table
  // unchanged, when the node cannot be allocated.
  bool Append(AttackerRecord *record);
  // Frees every node; the records are left alone.
  void RemoveAll();

  int Size() const { return size; }
  AttackerNode *First() const { return sentinel->next; }
  const AttackerNode *End() const { return sentinel; }

 private:
  AttackerNode *sentinel;
  int size;
};

extern AttackerTable g_Attackers;

// Counts one empty datagram from octet1.octet2.octet3.octet4.  When memory
// for a new address runs out the datagram goes uncounted; the receive path
// carries on.
void RecordAttacker(int octet1, int octet2, int octet3, int octet4);
// Frees every record and empties the table.
void ClearAttackers();
// The handler of "qgat_status": the filter state, then the table.
void StatusCommand();

#endif  // QUELLGATE_PLUGIN_ATTACKERS_H_
