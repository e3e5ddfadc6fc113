#include "bench/reference_walk.h"

ReferenceWalk::ReferenceWalk() : m_nSize(0) {
  m_Sentinel.record = nullptr;
  m_Sentinel.next = &m_Sentinel;
  m_Sentinel.prev = &m_Sentinel;
}

ReferenceWalk::~ReferenceWalk() {
  AttackerNode *pNode = m_Sentinel.next;
  while (pNode != &m_Sentinel) {
    AttackerNode *pNext = pNode->next;
    delete pNode->record;
    delete pNode;
    pNode = pNext;
  }
}

void ReferenceWalk::Record(int octet1, int octet2, int octet3, int octet4) {
  for (AttackerNode *pNode = m_Sentinel.next; pNode != &m_Sentinel;
       pNode = pNode->next) {
    AttackerRecord *pRecord = pNode->record;
    if (pRecord->octet1 == octet1 && pRecord->octet2 == octet2 &&
        pRecord->octet3 == octet3 && pRecord->octet4 == octet4) {
      ++pRecord->packets;
      return;
    }
  }
  AppendUnchecked(octet1, octet2, octet3, octet4);
}

void ReferenceWalk::AppendUnchecked(int octet1, int octet2, int octet3,
                                    int octet4) {
  AttackerRecord *pRecord = new AttackerRecord{octet1, octet2, octet3, octet4, 1};
  AttackerNode *pNode = new AttackerNode{pRecord, &m_Sentinel, m_Sentinel.prev};
  m_Sentinel.prev->next = pNode;
  m_Sentinel.prev = pNode;
  ++m_nSize;
}
