#include "plugin/attackers.h"

#include <stdlib.h>

#include <new>

#include "host/platform.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"
#include "plugin/spin_lock.h"

AttackerTable g_Attackers QG_INIT_ATTACKERS;

namespace {

// Guards g_Attackers and every record in it.
SpinLock s_AttackersLock;

__attribute__((noinline)) void RecordNewAttacker(int octet1, int octet2,
                                                 int octet3, int octet4) {
  AttackerRecord *pRecord = nullptr;
  // A full table refuses any new address; testing first spares a flood of
  // new senders past the bound an allocation and a free per datagram.
  if (g_Attackers.Size() < AttackerTable::kMaxAddresses) {
    pRecord = new (std::nothrow) AttackerRecord;
  }
  if (pRecord != nullptr) {
    pRecord->octet1 = octet1;
    pRecord->octet2 = octet2;
    pRecord->octet3 = octet3;
    pRecord->octet4 = octet4;
    pRecord->packets = 1;
    if (g_Attackers.Append(pRecord)) return;
    delete pRecord;
  }
  g_Attackers.CountOther();
}

void PrintRow(const AttackerRecord &record) {
  g_pHostApi->ConPrintf(" %d.%d.%d.%d\t|\t%d\n", record.octet1, record.octet2,
                        record.octet3, record.octet4,
                        static_cast<int32_t>(record.packets));
}

void PrintOthers(uint32_t nOthers) {
  if (nOthers != 0) {
    g_pHostApi->ConPrintf(" (others)\t|\t%d\n", static_cast<int32_t>(nOthers));
  }
}

}  // namespace

void RecordAttacker(int octet1, int octet2, int octet3, int octet4) {
  SpinLockHolder lock(&s_AttackersLock);
  AttackerRecord *pRecord =
      g_Attackers.Find(PackAddress(octet1, octet2, octet3, octet4));
  if (__builtin_expect(pRecord != nullptr, 1)) {
    ++pRecord->packets;
    return;
  }
  RecordNewAttacker(octet1, octet2, octet3, octet4);
}

void ClearAttackers() {
  SpinLockHolder lock(&s_AttackersLock);
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

  // The rows are copied out under the lock and printed after it, so that a
  // slow console never holds up the receive path.  Without memory for the
  // copy, the rows are printed under the lock instead.
  s_AttackersLock.Lock();
  int nRows = g_Attackers.Size();
  uint32_t nOthers = g_Attackers.Others();
  AttackerRecord *pRows = static_cast<AttackerRecord *>(
      malloc(sizeof(AttackerRecord) * (nRows > 0 ? nRows : 1)));
  if (pRows == nullptr) {
    for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
         pNode = pNode->next) {
      PrintRow(*pNode->record);
    }
    s_AttackersLock.Unlock();
  } else {
    int i = 0;
    for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
         pNode = pNode->next) {
      pRows[i++] = *pNode->record;
    }
    s_AttackersLock.Unlock();
    for (i = 0; i < nRows; ++i) PrintRow(pRows[i]);
    free(pRows);
  }
  PrintOthers(nOthers);
  g_pHostApi->ConPrint("--------------------------------\n");
}
