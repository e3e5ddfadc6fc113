// The thunk decoder walks a cursor that knows how many bytes remain, so a
// truncated buffer gives -1 instead of a read past its end.  Bytes are
// compared one at a time: on a thunk in memory nothing is read beyond the
// first byte that fails to match.
#include "hooks/method_slot.h"

namespace {

class Cursor {
 public:
  Cursor(const unsigned char *p, size_t left) : m_pByte(p), m_nLeft(left) {}

  bool Has(size_t n) const { return m_nLeft >= n; }
  unsigned char At(size_t i) const { return m_pByte[i]; }
  void Advance(size_t n) {
    m_pByte += n;
    if (m_nLeft != kThunkInMemory) m_nLeft -= n;
  }
  // True when the next `n` bytes are `pattern`; reads no further than the
  // first mismatch.
  bool Matches(const unsigned char *pattern, size_t n) const {
    if (!Has(n)) return false;
    for (size_t i = 0; i < n; ++i) {
      if (m_pByte[i] != pattern[i]) return false;
    }
    return true;
  }
  uint32_t ReadU32(size_t i) const {
    return static_cast<uint32_t>(m_pByte[i]) |
           static_cast<uint32_t>(m_pByte[i + 1]) << 8 |
           static_cast<uint32_t>(m_pByte[i + 2]) << 16 |
           static_cast<uint32_t>(m_pByte[i + 3]) << 24;
  }

  // Follows a relative jump whose 32-bit displacement `d` counts from the
  // end of a 5-byte instruction at the cursor.  In a buffer of known size
  // the target must lie inside it; in memory the address wraps like the
  // processor's.
  bool Jump(int32_t d) {
    if (m_nLeft == kThunkInMemory) {
      uintptr_t target = reinterpret_cast<uintptr_t>(m_pByte) + 5 +
                         static_cast<uintptr_t>(static_cast<intptr_t>(d));
      m_pByte = reinterpret_cast<const unsigned char *>(target);
      return true;
    }
    int64_t offset = 5 + static_cast<int64_t>(d);
    if (offset < 0 || static_cast<uint64_t>(offset) > m_nLeft) return false;
    m_pByte += offset;
    m_nLeft -= static_cast<size_t>(offset);
    return true;
  }

 private:
  const unsigned char *m_pByte;
  size_t m_nLeft;
};

const unsigned char kLoadFromStackArg[6] = {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x00};
const unsigned char kLoadFromReceiver[2] = {0x8B, 0x01};

}  // namespace

int32_t DecodeVirtualSlot(const unsigned char *code, size_t length) {
  if (code == nullptr) return -1;
  Cursor cursor(code, length);

  // A leading jump (E9 rel32) is followed once; a jump at its target is
  // not, and fails the load match below.
  if (cursor.Has(1) && cursor.At(0) == 0xE9) {
    if (!cursor.Has(5)) return -1;
    if (!cursor.Jump(static_cast<int32_t>(cursor.ReadU32(1)))) return -1;
  }

  // The load of the table pointer: through the first stack argument, or
  // from the receiver register.
  if (cursor.Matches(kLoadFromStackArg, sizeof(kLoadFromStackArg))) {
    cursor.Advance(sizeof(kLoadFromStackArg));
  } else if (cursor.Matches(kLoadFromReceiver, sizeof(kLoadFromReceiver))) {
    cursor.Advance(sizeof(kLoadFromReceiver));
  } else {
    return -1;
  }

  // FF: the group of indirect jumps and calls.
  if (!cursor.Has(1) || cursor.At(0) != 0xFF) return -1;
  cursor.Advance(1);

  // The addressing byte: only jumps through the loaded register qualify.
  if (!cursor.Has(1)) return -1;
  switch (cursor.At(0)) {
    case 0x20:  // jmp [reg]
      return 0;
    case 0x60:  // jmp [reg + disp8], the displacement taken unsigned
      if (!cursor.Has(2)) return -1;
      return cursor.At(1) / 4;
    case 0xA0:  // jmp [reg + disp32], the displacement taken unsigned
      if (!cursor.Has(5)) return -1;
      return static_cast<int32_t>(cursor.ReadU32(1) >> 2);
    default:
      return -1;
  }
}

void GetMethodSlotInfo(const void *code, size_t length,
                       MethodSlotInfo *slotInfo) {
  int32_t slot =
      DecodeVirtualSlot(static_cast<const unsigned char *>(code), length);
  slotInfo->slotIndex = slot;
  slotInfo->valid = slot >= 0;
  slotInfo->thisOffset = 0;
  slotInfo->tableOffset = 0;
}

void GetMemberSlotInfoFromWords(ptrdiff_t ptr, ptrdiff_t adj,
                                MethodSlotInfo *slotInfo) {
  // The slot must be representable and the adjustment must fit the record;
  // anything else is not a member pointer this system can hook.
  int32_t slot = -1;
  if ((ptr & 1) != 0) {
    int64_t byteOffset = static_cast<int64_t>(ptr) - 1;
    int64_t index = byteOffset / static_cast<int64_t>(sizeof(void *));
    if (byteOffset >= 0 && index <= INT32_MAX) {
      slot = static_cast<int32_t>(index);
    }
  }
  int64_t adjust = adj;
  if (adjust < INT32_MIN || adjust > INT32_MAX) slot = -1;
  slotInfo->slotIndex = slot;
  slotInfo->valid = slot >= 0;
  slotInfo->thisOffset = slot >= 0 ? static_cast<int32_t>(adj) : 0;
  slotInfo->tableOffset = 0;
}
