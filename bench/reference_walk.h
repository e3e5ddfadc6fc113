// The attacker table as first designed, kept as the yardstick for the
// indexed one: a linked ring searched linearly from the front for every
// empty datagram, with no bound.  Benchmarks only.
#ifndef QUELLGATE_BENCH_REFERENCE_WALK_H_
#define QUELLGATE_BENCH_REFERENCE_WALK_H_

#include <stddef.h>

#include "plugin/attacker_table.h"

class ReferenceWalk {
 public:
  ReferenceWalk();
  ~ReferenceWalk();
  ReferenceWalk(const ReferenceWalk &) = delete;
  ReferenceWalk &operator=(const ReferenceWalk &) = delete;

  // Counts one datagram: walks the ring for the address, appends a new
  // record and node at the back when it is not there.
  void Record(int octet1, int octet2, int octet3, int octet4);
  // Appends a record without searching, to fill large tables quickly.
  void AppendUnchecked(int octet1, int octet2, int octet3, int octet4);
  size_t Size() const { return m_nSize; }

 private:
  AttackerNode m_Sentinel;
  size_t m_nSize;
};

#endif  // QUELLGATE_BENCH_REFERENCE_WALK_H_
