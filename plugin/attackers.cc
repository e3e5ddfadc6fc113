#include "plugin/attackers.h"

#include <new>

#include "host/platform.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"

AttackerTable g_Attackers QG_INIT_ATTACKERS;

// The sentinel is part of the table's existence: without it there is no
// table, so its allocation is the one that may throw, at start-up.
AttackerTable::AttackerTable() : sentinel(new AttackerNode), size(0) {
  sentinel->record = nullptr;
  sentinel->next = sentinel;
  sentinel->prev = sentinel;
}

AttackerTable::~AttackerTable() {
  RemoveAll();
  delete sentinel;
}

bool AttackerTable::Append(AttackerRecord *record) {
  AttackerNode *pNode = new (std::nothrow) AttackerNode;
  if (pNode == nullptr) return false;
  pNode->record = record;
  pNode->prev = sentinel->prev;
  pNode->next = sentinel;
  sentinel->prev->next = pNode;
  sentinel->prev = pNode;
  ++size;
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
}

void RecordAttacker(int octet1, int octet2, int octet3, int octet4) {
  for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
       pNode = pNode->next) {
    AttackerRecord *pRecord = pNode->record;
    if (pRecord->octet1 == octet1 && pRecord->octet2 == octet2 &&
        pRecord->octet3 == octet3 && pRecord->octet4 == octet4) {
      ++pRecord->packets;
      return;
    }
  }
  AttackerRecord *pRecord = new (std::nothrow) AttackerRecord;
  if (pRecord == nullptr) return;
  pRecord->octet1 = octet1;
  pRecord->octet2 = octet2;
  pRecord->octet3 = octet3;
  pRecord->octet4 = octet4;
  pRecord->packets = 1;
  if (!g_Attackers.Append(pRecord)) delete pRecord;
}

void ClearAttackers() {
  for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
       pNode = pNode->next) {
    delete pNode->record;
  }
  g_Attackers.RemoveAll();
}

void StatusCommand() {
  g_pHostApi->ConPrint(g_bFilterEnabled ? kFilterEnabledMessage
                                        : kFilterDisabledMessage);
  g_pHostApi->ConPrint(
      " Attacker IP\t|\tPacket\n--------------------------------\n");
  for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
       pNode = pNode->next) {
    const AttackerRecord *pRecord = pNode->record;
    g_pHostApi->ConPrintf(" %d.%d.%d.%d\t|\t%d\n", pRecord->octet1,
                          pRecord->octet2, pRecord->octet3, pRecord->octet4,
                          static_cast<int32_t>(pRecord->packets));
  }
  g_pHostApi->ConPrint("--------------------------------\n");
}
