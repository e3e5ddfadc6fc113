// The attacker table: one record per IPv4 address that sent empty
// datagrams, kept in the order the addresses were first seen, with an index
// so that finding an address costs O(1) expected however many there are.
//
// The order lives in a doubly linked ring of nodes with a sentinel; the
// index is an open-addressing hash of the packed address.  The table holds
// at most kMaxAddresses addresses; datagrams from further addresses, or
// from a new address when memory runs out, go into one total (Others), so
// that the sum of all counts is every datagram counted.
//
// Not thread-safe: the caller serialises access (see attackers.h).
#ifndef QUELLGATE_PLUGIN_ATTACKER_TABLE_H_
#define QUELLGATE_PLUGIN_ATTACKER_TABLE_H_

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

// The address as one word, first octet in the high byte.
inline uint32_t PackAddress(int octet1, int octet2, int octet3, int octet4) {
  return (static_cast<uint32_t>(octet1) << 24) |
         (static_cast<uint32_t>(octet2) << 16) |
         (static_cast<uint32_t>(octet3) << 8) | static_cast<uint32_t>(octet4);
}

class AttackerTable {
 public:
  enum { kMaxAddresses = 65536 };

  AttackerTable();
  ~AttackerTable();
  AttackerTable(const AttackerTable &) = delete;
  AttackerTable &operator=(const AttackerTable &) = delete;

  // The record of `address`, or null.
  AttackerRecord *Find(uint32_t address) const;
  // Adds `record` at the back and to the index.  Answers false, leaving the
  // table unchanged, when the table is full or memory runs out.  The table
  // does not own the record.
  bool Append(AttackerRecord *record);
  // Frees every node and the index, and zeroes the other-address total.
  // The records are left alone.
  void RemoveAll();

  // The datagrams that no record holds.
  void CountOther() { ++others; }
  uint32_t Others() const { return others; }

  int Size() const { return size; }
  AttackerNode *First() const { return sentinel->next; }
  const AttackerNode *End() const { return sentinel; }

 private:
  uint32_t SlotOf(uint32_t address) const {
    return (address * 2654435769u) >> indexShift;  // Fibonacci hashing
  }
  // The presence bit of an address, from a second, independent hash.
  static uint32_t PresenceBitOf(uint32_t address) {
    return (address * 0x85EBCA6Bu) >> (32 - kPresenceBits);
  }
  bool MayHold(uint32_t address) const {
    uint32_t bit = PresenceBitOf(address);
    return (presence[bit / 32] >> (bit % 32)) & 1;
  }
  bool ReserveIndexSlot();
  void InsertIntoIndex(uint32_t address, AttackerRecord *record);

  AttackerNode *sentinel;
  int size;
  uint32_t others;
  // The index: the addresses alone in one array, so that looking up a
  // sender not in the table touches as little memory as possible, and their
  // records at the same positions in a second.  0 marks a free slot; the
  // address 0.0.0.0 is kept aside in zeroRecord.
  //
  // In front of the index, one presence bit per hash of an address: clear
  // for most addresses never seen, so that a flood of new senders past the
  // bound is turned away by a bitmap small enough to stay in the cache.
  enum { kPresenceBits = 20 };
  uint32_t presence[(1u << kPresenceBits) / 32];
  uint32_t *indexKeys;           // null until the first Append
  AttackerRecord **indexRecords;
  uint32_t indexMask;            // slots - 1; slots is a power of two
  uint32_t indexShift;           // 32 - log2(slots)
  AttackerRecord *zeroRecord;
};

inline AttackerRecord *AttackerTable::Find(uint32_t address) const {
  if (address == 0) return zeroRecord;
  if (!MayHold(address)) return nullptr;
  for (uint32_t i = SlotOf(address);; i = (i + 1) & indexMask) {
    uint32_t key = indexKeys[i];
    if (key == address) return indexRecords[i];
    if (key == 0) return nullptr;
  }
}

#endif  // QUELLGATE_PLUGIN_ATTACKER_TABLE_H_
