// Reading the table slot of a virtual operation.
//
// The hook service names an operation by the position of the table pointer
// inside the object and the slot of the operation in that table.  Two
// sources give that slot:
//
//  - the machine code of a call thunk, the short x86 stub through which a
//    pointer to a virtual operation is called on compilers that use thunks:
//    it loads the object's table pointer and jumps through one entry;
//  - a pointer to a virtual member function in the Itanium C++ ABI form that
//    GCC and Clang use on x86 (i386 and x86-64): no thunk exists there; the
//    first word holds 1 + the byte offset of the entry in the table, the
//    second the adjustment of the object pointer.
//
// Both fill the same `MethodSlotInfo`.  Everything here is a pure function
// of its input and may be called from any thread.
#ifndef QUELLGATE_HOOKS_METHOD_SLOT_H_
#define QUELLGATE_HOOKS_METHOD_SLOT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>

struct MethodSlotInfo {
  bool valid;           // the slot was recognised (slotIndex >= 0)
  int32_t thisOffset;   // adjustment of the object pointer before the call
  int32_t slotIndex;    // zero-based table slot; -1 when not recognised
  int32_t tableOffset;  // byte position of the table pointer in the object
};

// Passed as `length` when `code` is a thunk in memory rather than a buffer
// of known size: the decoder then reads only as far as its match gets (at
// most 5 bytes of a leading jump, then at most 12 more) and follows a
// leading jump wherever it lands.
constexpr size_t kThunkInMemory = SIZE_MAX;

// Decodes the thunk at `code`, of which `length` bytes may be read.
// Answers the slot index (0 or more), or -1 when the bytes are not a
// recognised thunk or end before the pattern does.  A leading E9 jump is
// followed once; with a finite `length` its target must lie inside the
// buffer, or the answer is -1.  Reads nothing outside [code, code+length).
int32_t DecodeVirtualSlot(const unsigned char *code, size_t length);

// Decodes the thunk at `code` and overwrites all four fields of `*slotInfo`:
// slotIndex gets the decoder's answer, valid whether it is 0 or more,
// thisOffset and tableOffset 0.
void GetMethodSlotInfo(const void *code, size_t length,
                       MethodSlotInfo *slotInfo);
// The same for a thunk in memory.
inline void GetMethodSlotInfo(const void *code, MethodSlotInfo *slotInfo) {
  GetMethodSlotInfo(code, kThunkInMemory, slotInfo);
}

// Fills `*slotInfo` from the two words of an Itanium ABI member pointer:
// `ptr` (1 + table byte offset for a virtual operation, an even function
// address otherwise) and `adj` (the this-adjustment).  A non-virtual member
// gives valid false and slot -1.  tableOffset is 0: the ABI keeps the
// primary table pointer at the start of the (adjusted) object.
void GetMemberSlotInfoFromWords(ptrdiff_t ptr, ptrdiff_t adj,
                                MethodSlotInfo *slotInfo);

// Fills `*slotInfo` for a pointer to a virtual member function such as
// `&ICvar::CallGlobalChangeCallbacks`.  Under the Itanium C++ ABI (GCC and
// Clang) the slot is read from the member pointer's words; on a toolchain
// whose member pointers address call thunks, the thunk is decoded.
template <typename Method>
void GetMemberSlotInfo(Method method, MethodSlotInfo *slotInfo) {
  static_assert(std::is_member_function_pointer<Method>::value,
                "a pointer to a member function is required");
#if defined(__GNUC__)
  static_assert(sizeof(Method) == 2 * sizeof(ptrdiff_t),
                "the Itanium C++ ABI member pointer has two words");
  ptrdiff_t words[2];
  memcpy(words, &method, sizeof(words));
  GetMemberSlotInfoFromWords(words[0], words[1], slotInfo);
#else
  const void *thunk;
  memcpy(&thunk, &method, sizeof(thunk));
  GetMethodSlotInfo(thunk, slotInfo);
#endif
}

#endif  // QUELLGATE_HOOKS_METHOD_SLOT_H_
