// Growable containers on the engine's allocator (g_pMemAlloc), never on the
// module's own heap: the console service owns the suggestion vector that a
// command fills, and frees its blocks with that same allocator.
//
// CGrowableMemory<T>  a block of T; grows by doubling (first block >= 32
//                     bytes) or in steps of a fixed grow size; a negative
//                     grow size marks a block that is not owned and is
//                     never grown, reallocated or released.
// CByteBlock          bytes with a stored length.
// CTextString         a text kept in a byte block; the stored length counts
//                     the terminator; length 0 reads as the empty text.
// CGrowableVector<T>  a vector of T.
//
// Elements move as raw bytes (allocator reallocation, insertion), so T must
// be movable that way; CTextString is.  The field layouts are shared with
// the console service and must not change.
//
// A growth that cannot be served (a capacity or byte size that does not fit
// a signed 32-bit count, or an allocator answering null) leaves the
// container exactly as it was and usable.  Not thread-safe.
#ifndef QUELLGATE_CONSOLE_GROWABLE_H_
#define QUELLGATE_CONSOLE_GROWABLE_H_

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <new>

#include "host/tier0.h"

template <class T>
class CGrowableMemory {
 public:
  // No block; nGrowSize 0 doubles, a positive value steps.
  explicit CGrowableMemory(int nGrowSize = 0)
      : m_pMemory(nullptr), m_nCapacity(0), m_nGrowSize(nGrowSize) {}
  // A block owned elsewhere: never grown, reallocated or released.
  CGrowableMemory(T *pMemory, int nCount)
      : m_pMemory(pMemory), m_nCapacity(nCount), m_nGrowSize(-1) {}
  ~CGrowableMemory() { Purge(); }

  CGrowableMemory(const CGrowableMemory &) = delete;
  CGrowableMemory &operator=(const CGrowableMemory &) = delete;

  T *Base() const { return m_pMemory; }
  int Capacity() const { return m_nCapacity; }
  int GrowSize() const { return m_nGrowSize; }
  bool IsExternal() const { return m_nGrowSize < 0; }

  // Enlarges the block to hold nExtra more elements.  Answers false, and
  // changes nothing, for a block that is not owned, a negative nExtra, a
  // request that overflows a signed 32-bit count, or an allocator failure.
  bool Grow(int nExtra);

  // Releases an owned block; a block that is not owned is left alone.
  void Purge();

 private:
  T *m_pMemory;
  int m_nCapacity;
  int m_nGrowSize;
};

class CByteBlock {
 public:
  CByteBlock() : m_nLength(0) {}

  // Stores nLength bytes (none when pData is null), growing the block as
  // needed; keeps only what fits when the block cannot grow.  Never shrinks
  // or releases the block.  pData may point into this block's own bytes.
  void Set(const void *pData, int nLength);

  const unsigned char *Base() const { return m_Memory.Base(); }
  int Length() const { return m_nLength; }
  int Capacity() const { return m_Memory.Capacity(); }
  void Purge() {
    m_Memory.Purge();
    m_nLength = 0;
  }

 private:
  CGrowableMemory<unsigned char> m_Memory;
  int m_nLength;  // bytes in use, never more than the capacity
};

class CTextString {
 public:
  // Stores the text with its terminator; null stores nothing.
  CTextString(const char *pszText = nullptr);  // NOLINT: implicit by design
  // Always stores a terminated text: the copy of an empty string is the
  // empty text with its terminator (length 1).
  CTextString(const CTextString &other);
  CTextString &operator=(const CTextString &) = delete;
  ~CTextString();

  // The empty text when nothing is stored.
  const char *Get() const {
    return m_Storage.Length() == 0
               ? ""
               : reinterpret_cast<const char *>(m_Storage.Base());
  }
  // Stored bytes, terminator included.
  int Length() const { return m_Storage.Length(); }
  int Capacity() const { return m_Storage.Capacity(); }

 private:
  CByteBlock m_Storage;
};

template <class T>
class CGrowableVector {
 public:
  explicit CGrowableVector(int nGrowSize = 0)
      : m_Memory(nGrowSize), m_nCount(0), m_pElements(nullptr) {}
  ~CGrowableVector() { RemoveAll(); }

  CGrowableVector(const CGrowableVector &) = delete;
  CGrowableVector &operator=(const CGrowableVector &) = delete;

  // Inserts a copy of value before place nIndex (0..Count()) and answers
  // nIndex; answers -1, changing nothing, for an index out of range or
  // when the memory cannot grow.  value may be an element of this vector.
  int InsertAt(int nIndex, const T &value);
  int Append(const T &value) { return InsertAt(m_nCount, value); }

  int Count() const { return m_nCount; }
  int Capacity() const { return m_Memory.Capacity(); }
  T *Base() const { return m_Memory.Base(); }
  T &operator[](int i) { return m_Memory.Base()[i]; }
  const T &operator[](int i) const { return m_Memory.Base()[i]; }
  T &Element(int i) { return m_Memory.Base()[i]; }
  const T &Element(int i) const { return m_Memory.Base()[i]; }

  // Destroys every element; keeps the block.
  void RemoveAll();
  // Destroys every element and releases the block.
  void Purge() {
    RemoveAll();
    m_Memory.Purge();
    m_pElements = nullptr;
  }

 private:
  CGrowableMemory<T> m_Memory;
  int m_nCount;
  T *m_pElements;  // copy of the block pointer, refreshed on insertion
};

// ---------------------------------------------------------------------------
// Implementation: the growth paths are out of line of the class bodies.

template <class T>
bool CGrowableMemory<T>::Grow(int nExtra) {
  if (m_nGrowSize < 0 || nExtra < 0) return false;
  // Computed in 64 bits so an overflowing request is seen, not wrapped: a
  // wrapped capacity would hand back a block smaller than the one asked for.
  const int64_t nRequest = static_cast<int64_t>(m_nCapacity) + nExtra;
  int64_t nCapacity;
  if (m_nGrowSize > 0) {
    nCapacity = ((nRequest - 1) / m_nGrowSize + 1) * m_nGrowSize;
  } else {
    nCapacity = m_nCapacity != 0
                    ? m_nCapacity
                    : static_cast<int64_t>((31 + sizeof(T)) / sizeof(T));
    while (nCapacity < nRequest) nCapacity *= 2;
  }
  const int64_t nBytes = nCapacity * static_cast<int64_t>(sizeof(T));
  if (nCapacity > INT_MAX || nBytes > INT_MAX) return false;

  void *pNew =
      m_pMemory != nullptr
          ? g_pMemAlloc->Realloc(m_pMemory, static_cast<size_t>(nBytes))
          : g_pMemAlloc->Alloc(static_cast<size_t>(nBytes));
  if (pNew == nullptr) return false;  // the old block stays valid
  m_pMemory = static_cast<T *>(pNew);
  m_nCapacity = static_cast<int>(nCapacity);
  return true;
}

template <class T>
void CGrowableMemory<T>::Purge() {
  if (m_nGrowSize < 0) return;
  if (m_pMemory != nullptr) g_pMemAlloc->Free(m_pMemory);
  m_pMemory = nullptr;
  m_nCapacity = 0;
}

template <class T>
int CGrowableVector<T>::InsertAt(int nIndex, const T &value) {
  if (nIndex < 0 || nIndex > m_nCount) return -1;
  // value may live in this block, which growth can move and insertion
  // shifts: remember its place rather than its address.
  const T *pBase = m_Memory.Base();
  const int nAliased =
      (pBase != nullptr && &value >= pBase && &value < pBase + m_nCount)
          ? static_cast<int>(&value - pBase)
          : -1;
  if (m_nCount + 1 > m_Memory.Capacity() &&
      !m_Memory.Grow(m_nCount + 1 - m_Memory.Capacity())) {
    return -1;
  }
  T *pElements = m_Memory.Base();
  ++m_nCount;
  m_pElements = pElements;
  const int nMoved = m_nCount - 1 - nIndex;
  if (nMoved > 0) {
    memmove(static_cast<void *>(pElements + nIndex + 1),
            static_cast<const void *>(pElements + nIndex),
            static_cast<size_t>(nMoved) * sizeof(T));
  }
  const T *pSource = &value;
  if (nAliased >= 0) {
    pSource = pElements + (nAliased >= nIndex ? nAliased + 1 : nAliased);
  }
  new (static_cast<void *>(pElements + nIndex)) T(*pSource);
  return nIndex;
}

template <class T>
void CGrowableVector<T>::RemoveAll() {
  T *pElements = m_Memory.Base();
  for (int i = m_nCount - 1; i >= 0; --i) pElements[i].~T();
  m_nCount = 0;
}

#endif  // QUELLGATE_CONSOLE_GROWABLE_H_
