// Slot reading: the thunk decoder on byte buffers and in memory, the record
// it fills, and the member-pointer form that GCC and Clang use.
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hooks/change_broadcast_hook.h"
#include "hooks/method_slot.h"
#include "host/ICvar.h"

namespace {

struct DecodeCase {
  const char *name;
  std::vector<unsigned char> bytes;
  int32_t expected;
};

const DecodeCase kDecodeCases[] = {
    {"jmp_no_displacement", {0x8B, 0x01, 0xFF, 0x20}, 0},
    {"disp8", {0x8B, 0x01, 0xFF, 0x60, 0x4C}, 19},
    {"disp8_rounds_down", {0x8B, 0x01, 0xFF, 0x60, 0x05}, 1},
    {"disp8_unsigned", {0x8B, 0x01, 0xFF, 0x60, 0x80}, 32},
    {"disp8_max", {0x8B, 0x01, 0xFF, 0x60, 0xFF}, 63},
    {"disp32", {0x8B, 0x01, 0xFF, 0xA0, 0x18, 0x03, 0x00, 0x00}, 198},
    {"disp32_unsigned", {0x8B, 0x01, 0xFF, 0xA0, 0xFC, 0xFF, 0xFF, 0xFF},
     1073741823},
    {"stack_arg_load", {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x00, 0xFF, 0x60, 0x08},
     2},
    {"stack_arg_load_wrong_register",
     {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x01, 0xFF, 0x60, 0x08},
     -1},
    {"leading_jump_to_next_byte",
     {0xE9, 0x00, 0x00, 0x00, 0x00, 0x8B, 0x01, 0xFF, 0x60, 0x0C},
     3},
    {"leading_jump_forward",
     {0xE9, 0x02, 0x00, 0x00, 0x00, 0xCC, 0xCC, 0x8B, 0x01, 0xFF, 0x20},
     0},
    {"jump_to_jump",
     {0xE9, 0x00, 0x00, 0x00, 0x00, 0xE9, 0x00, 0x00, 0x00, 0x00, 0x8B, 0x01,
      0xFF, 0x20},
     -1},
    {"indirect_call_disp8", {0x8B, 0x01, 0xFF, 0x50, 0x08}, -1},
    {"indirect_call_no_displacement", {0x8B, 0x01, 0xFF, 0x10}, -1},
    {"indirect_call_disp32", {0x8B, 0x01, 0xFF, 0x90, 0x08, 0, 0, 0}, -1},
    {"not_group_ff", {0x8B, 0x01, 0xFE, 0x60, 0x08}, -1},
    {"other_register_load", {0x8B, 0x02, 0xFF, 0x60, 0x08}, -1},
    {"lone_ret", {0xC3}, -1},
    // Input that ends before the pattern does.
    {"empty", {}, -1},
    {"load_only", {0x8B, 0x01}, -1},
    {"half_load", {0x8B}, -1},
    {"no_addressing_byte", {0x8B, 0x01, 0xFF}, -1},
    {"disp8_missing", {0x8B, 0x01, 0xFF, 0x60}, -1},
    {"disp32_short", {0x8B, 0x01, 0xFF, 0xA0, 0x18, 0x03, 0x00}, -1},
    {"jump_short", {0xE9, 0x00, 0x00, 0x00}, -1},
    {"stack_load_cut", {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x00, 0xFF}, -1},
    // A jump whose target lies outside the buffer is not followed.
    {"jump_past_end", {0xE9, 0x10, 0x00, 0x00, 0x00, 0x8B, 0x01, 0xFF, 0x20},
     -1},
    {"jump_before_start",
     {0xE9, 0xF0, 0xFF, 0xFF, 0xFF, 0x8B, 0x01, 0xFF, 0x20},
     -1},
    {"jump_to_end_exactly", {0xE9, 0x00, 0x00, 0x00, 0x00}, -1},
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, BoundedBuffer) {
  const DecodeCase &c = GetParam();
  // A heap copy of exactly the case's size lets the address sanitizer
  // catch any read past the end.
  std::vector<unsigned char> bytes(c.bytes);
  EXPECT_EQ(c.expected, DecodeVirtualSlot(bytes.data(), bytes.size()));
}

TEST_P(DecodeTest, RecordIsOverwrittenInFull) {
  const DecodeCase &c = GetParam();
  std::vector<unsigned char> bytes(c.bytes);
  MethodSlotInfo info = {true, -1, 0, 0};
  GetMethodSlotInfo(bytes.data(), bytes.size(), &info);
  EXPECT_EQ(c.expected, info.slotIndex);
  EXPECT_EQ(c.expected >= 0, info.valid);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(0, info.tableOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Thunks, DecodeTest, testing::ValuesIn(kDecodeCases),
    [](const testing::TestParamInfo<DecodeCase> &info) {
      return std::string(info.param.name);
    });

// Thunks in memory are decoded without a length; every case whose bytes
// stay inside its buffer decodes the same way there.  (Padding with int3,
// which matches nothing, stands in for the code that follows a thunk.)
TEST(DecodeInMemoryTest, MatchesBoundedDecoding) {
  for (const DecodeCase &c : kDecodeCases) {
    if (!c.bytes.empty() && c.bytes[0] == 0xE9 && c.expected < 0) {
      continue;  // in memory this jump would leave the buffer
    }
    std::vector<unsigned char> padded(c.bytes);
    padded.resize(c.bytes.size() + 16, 0xCC);
    EXPECT_EQ(DecodeVirtualSlot(padded.data(), padded.size()),
              DecodeVirtualSlot(padded.data(), kThunkInMemory))
        << c.name;
  }
}

TEST(DecodeInMemoryTest, FollowsLeadingJumpBackwards) {
  // The thunk sits before the jump, as a jump table entry would see it.
  unsigned char code[] = {0x8B, 0x01, 0xFF, 0x60, 0x28,  // slot 10
                          0xE9, 0xF6, 0xFF, 0xFF, 0xFF};  // jmp -10
  EXPECT_EQ(10, DecodeVirtualSlot(code + 5, kThunkInMemory));
  EXPECT_EQ(-1, DecodeVirtualSlot(code + 5, 5));  // outside this buffer
}

TEST(DecodeInMemoryTest, NullCodeIsNotAThunk) {
  EXPECT_EQ(-1, DecodeVirtualSlot(nullptr, kThunkInMemory));
}

TEST(GetMethodSlotInfoTest, OverwritesPresetRecordOnSuccess) {
  const unsigned char code[] = {0x8B, 0x01, 0xFF, 0x20};
  MethodSlotInfo info = {true, -1, 7, 9};
  GetMethodSlotInfo(code, sizeof(code), &info);
  EXPECT_TRUE(info.valid);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(0, info.slotIndex);
  EXPECT_EQ(0, info.tableOffset);
}

TEST(GetMethodSlotInfoTest, OverwritesPresetRecordOnFailure) {
  const unsigned char code[] = {0xC3};
  MethodSlotInfo info = {true, -1, 0, 0};
  GetMethodSlotInfo(code, &info);
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(-1, info.slotIndex);
  EXPECT_EQ(0, info.tableOffset);
}

// Member pointers, as the hook glue reads them.

class Base1 {
 public:
  virtual void A() {}
  virtual void B() {}
  void NotVirtual() {}
};
class Base2 {
 public:
  virtual void C() {}
  virtual void D() {}
};
class Derived : public Base1, public Base2 {};

TEST(MemberSlotTest, ChangeBroadcastIsTheEleventhOperation) {
  MethodSlotInfo info = {true, -1, 0, 0};
  GetMemberSlotInfo(&ICvar::CallGlobalChangeCallbacks, &info);
  EXPECT_TRUE(info.valid);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(10, info.slotIndex);
  EXPECT_EQ(0, info.tableOffset);
}

TEST(MemberSlotTest, HookFunctionIsSlotZero) {
  MethodSlotInfo info = {true, -1, 5, 0};
  GetMemberSlotInfo(
      &__SourceHook_FHCls_ICvarCallGlobalChangeCallbacksfalse::HookFunc,
      &info);
  EXPECT_TRUE(info.valid);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(0, info.slotIndex);
  EXPECT_EQ(0, info.tableOffset);
}

TEST(MemberSlotTest, SlotsAndAdjustments) {
  MethodSlotInfo info = {true, -1, 0, 0};
  GetMemberSlotInfo(&Base1::B, &info);
  EXPECT_EQ(1, info.slotIndex);
  EXPECT_EQ(0, info.thisOffset);

  // A member of the second base, reached through the derived class,
  // carries the second base's position as its adjustment.
  void (Derived::*d)() = &Base2::D;
  GetMemberSlotInfo(d, &info);
  EXPECT_TRUE(info.valid);
  EXPECT_EQ(1, info.slotIndex);
  EXPECT_EQ(static_cast<int32_t>(sizeof(void *)), info.thisOffset);
}

TEST(MemberSlotTest, NonVirtualMemberIsNotASlot) {
  MethodSlotInfo info = {true, -1, 0, 0};
  GetMemberSlotInfo(&Base1::NotVirtual, &info);
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(-1, info.slotIndex);
  EXPECT_EQ(0, info.thisOffset);
  EXPECT_EQ(0, info.tableOffset);
}

TEST(MemberSlotTest, WordsUsePointerSizedEntries) {
  struct WordCase {
    ptrdiff_t ptr;
    ptrdiff_t adj;
    int32_t slot;
  };
  const ptrdiff_t p = static_cast<ptrdiff_t>(sizeof(void *));
  const WordCase cases[] = {
      {1, 0, 0},        {1 + p, 0, 1},  {1 + 10 * p, 0, 10},
      {1 + 10 * p, -p, 10},  // the adjustment does not change the slot
      {0x1000, 0, -1},  // even: a function address, not a table offset
  };
  for (const WordCase &c : cases) {
    MethodSlotInfo info = {true, -1, 0, 0};
    GetMemberSlotInfoFromWords(c.ptr, c.adj, &info);
    EXPECT_EQ(c.slot, info.slotIndex) << c.ptr;
    EXPECT_EQ(c.slot >= 0, info.valid) << c.ptr;
    EXPECT_EQ(c.slot >= 0 ? c.adj : 0, info.thisOffset) << c.ptr;
  }
}

}  // namespace
