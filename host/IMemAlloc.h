// The engine's allocator, reached through tier0's g_pMemAlloc.  Sizes are
// in bytes.  Realloc keeps the contents and may move the block.
#ifndef QUELLGATE_HOST_IMEMALLOC_H_
#define QUELLGATE_HOST_IMEMALLOC_H_

#include <stddef.h>

class IMemAlloc {
 public:
  virtual void *Alloc(size_t nSize) = 0;
  virtual void *Realloc(void *pMem, size_t nSize) = 0;
  virtual void Free(void *pMem) = 0;
};

#endif  // QUELLGATE_HOST_IMEMALLOC_H_
