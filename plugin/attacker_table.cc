#include "plugin/attacker_table.h"

#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

// The index starts small, so a quiet server pays little, and doubles while
// it is more than half full, up to twice kMaxAddresses slots: a full table
// still probes short chains.
const uint32_t kFirstIndexBits = 10;
const uint32_t kLastIndexBits = 17;
static_assert((1u << kLastIndexBits) >= 2u * AttackerTable::kMaxAddresses,
              "a full table must leave the index at most half full");

}  // namespace

// The sentinel is part of the table's existence, so its allocation is the
// one that may throw, at start-up.
AttackerTable::AttackerTable()
    : sentinel(new AttackerNode),
      size(0),
      others(0),
      indexKeys(nullptr),
      indexRecords(nullptr),
      indexMask(0),
      indexShift(32),
      zeroRecord(nullptr) {
  memset(presence, 0, sizeof presence);
  sentinel->record = nullptr;
  sentinel->next = sentinel;
  sentinel->prev = sentinel;
}

AttackerTable::~AttackerTable() {
  RemoveAll();
  delete sentinel;
}

bool AttackerTable::Append(AttackerRecord *record) {
  if (size >= kMaxAddresses || !ReserveIndexSlot()) return false;
  AttackerNode *pNode = new (std::nothrow) AttackerNode;
  if (pNode == nullptr) return false;
  pNode->record = record;
  pNode->prev = sentinel->prev;
  pNode->next = sentinel;
  sentinel->prev->next = pNode;
  sentinel->prev = pNode;
  ++size;
  InsertIntoIndex(PackAddress(record->octet1, record->octet2, record->octet3,
                              record->octet4),
                  record);
  return true;
}

void AttackerTable::RemoveAll() {
  AttackerNode *pNode = sentinel->next;
  sentinel->next = sentinel;
  sentinel->prev = sentinel;
  while (pNode != sentinel) {
    AttackerNode *pNext = pNode->next;
    delete pNode;
    pNode = pNext;
  }
  size = 0;
  others = 0;
  free(indexKeys);
  indexKeys = nullptr;
  indexRecords = nullptr;
  indexMask = 0;
  indexShift = 32;
  zeroRecord = nullptr;
  memset(presence, 0, sizeof presence);
}

// Makes room for one more address, growing the index while it would be
// more than half full.  When a larger index cannot be had, the current one
// still serves until it is three quarters full.
bool AttackerTable::ReserveIndexSlot() {
  uint32_t nSlots = indexKeys != nullptr ? indexMask + 1 : 0;
  uint32_t nNeeded = static_cast<uint32_t>(size) + 1;
  if (nNeeded * 2 <= nSlots) return true;

  uint32_t nBits = indexKeys != nullptr ? 32 - indexShift + 1 : kFirstIndexBits;
  if (nBits <= kLastIndexBits) {
    // One block holds both arrays: the keys, then the record pointers.
    size_t nNewSlots = size_t(1) << nBits;
    void *pBlock = calloc(nNewSlots, sizeof(uint32_t) + sizeof(AttackerRecord *));
    if (pBlock != nullptr) {
      uint32_t *pOldKeys = indexKeys;
      AttackerRecord **pOldRecords = indexRecords;
      indexKeys = static_cast<uint32_t *>(pBlock);
      indexRecords = reinterpret_cast<AttackerRecord **>(indexKeys + nNewSlots);
      indexMask = static_cast<uint32_t>(nNewSlots - 1);
      indexShift = 32 - nBits;
      for (uint32_t i = 0; i < nSlots; ++i) {
        if (pOldKeys[i] != 0) InsertIntoIndex(pOldKeys[i], pOldRecords[i]);
      }
      free(pOldKeys);
      return true;
    }
  }
  return nNeeded * 4 <= nSlots * 3;
}

void AttackerTable::InsertIntoIndex(uint32_t address, AttackerRecord *record) {
  if (address == 0) {
    zeroRecord = record;
    return;
  }
  uint32_t bit = PresenceBitOf(address);
  presence[bit / 32] |= 1u << (bit % 32);
  uint32_t i = SlotOf(address);
  while (indexKeys[i] != 0) i = (i + 1) & indexMask;
  indexKeys[i] = address;
  indexRecords[i] = record;
}
