#include "plugin/attacker_table.h"

#include <stdlib.h>

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
      index(nullptr),
      indexMask(0),
      indexShift(32) {
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
  free(index);
  index = nullptr;
  indexMask = 0;
  indexShift = 32;
}

// Makes room for one more address, growing the index while it would be
// more than half full.  When a larger index cannot be had, the current one
// still serves until it is three quarters full.
bool AttackerTable::ReserveIndexSlot() {
  uint32_t nSlots = index != nullptr ? indexMask + 1 : 0;
  uint32_t nNeeded = static_cast<uint32_t>(size) + 1;
  if (nNeeded * 2 <= nSlots) return true;

  uint32_t nBits = index != nullptr ? 32 - indexShift + 1 : kFirstIndexBits;
  if (nBits <= kLastIndexBits) {
    IndexSlot *pNew =
        static_cast<IndexSlot *>(calloc(size_t(1) << nBits, sizeof(IndexSlot)));
    if (pNew != nullptr) {
      IndexSlot *pOld = index;
      index = pNew;
      indexMask = (1u << nBits) - 1;
      indexShift = 32 - nBits;
      for (uint32_t i = 0; i < nSlots; ++i) {
        if (pOld[i].record != nullptr) {
          InsertIntoIndex(pOld[i].address, pOld[i].record);
        }
      }
      free(pOld);
      return true;
    }
  }
  return nNeeded * 4 <= nSlots * 3;
}

void AttackerTable::InsertIntoIndex(uint32_t address, AttackerRecord *record) {
  uint32_t i = SlotOf(address);
  while (index[i].record != nullptr) i = (i + 1) & indexMask;
  index[i].address = address;
  index[i].record = record;
}
