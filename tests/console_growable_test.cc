// Growable containers on the engine's allocator, seen through the emulated
// tier0's counting allocator, and bounded formatting.
#include <limits.h>
#include <string.h>

#include <string>

#include "console/format.h"
#include "console/growable.h"
#include "emu/tier0/tier0_stats.h"
#include "gtest/gtest.h"

namespace {

// Checks that every block taken during a test went back to the allocator,
// and turns fault injection off whatever the test did.
class GrowableTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Before = Tier0_GetMemStats(); }
  void TearDown() override {
    Tier0_FailNthAlloc(0);
    const Tier0MemStats after = Tier0_GetMemStats();
    EXPECT_EQ(after.m_nBlocks, m_Before.m_nBlocks) << "blocks leaked";
    EXPECT_EQ(after.m_nBytes, m_Before.m_nBytes) << "bytes leaked";
  }
  int64_t BytesNow() const {
    return Tier0_GetMemStats().m_nBytes - m_Before.m_nBytes;
  }
  int64_t AllocCallsNow() const {
    return Tier0_GetMemStats().m_nAllocs - m_Before.m_nAllocs;
  }

  Tier0MemStats m_Before;
};

TEST_F(GrowableTest, ByteBlockFirstGrowthDoublesFrom32) {
  struct Case {
    int m_nLength;
    int m_nCapacity;
  };
  static const Case kCases[] = {
      {1, 32}, {31, 32}, {32, 32}, {33, 64}, {64, 64}, {100, 128}, {1000, 1024},
  };
  static const char kBytes[1000] = {0};
  for (const Case &test : kCases) {
    CByteBlock block;
    block.Set(kBytes, test.m_nLength);
    EXPECT_EQ(block.Capacity(), test.m_nCapacity) << test.m_nLength;
    EXPECT_EQ(block.Length(), test.m_nLength);
    EXPECT_EQ(BytesNow(), test.m_nCapacity);
  }
}

TEST_F(GrowableTest, VectorOfStringsDoublesFromTwo) {
  // Capacity after each append, from the first.
  static const int kCapacities[] = {2, 2, 4, 4, 8, 8, 8, 8, 16};
  CGrowableVector<CTextString> vector;
  for (int i = 0; i < static_cast<int>(sizeof(kCapacities) / sizeof(int));
       ++i) {
    EXPECT_EQ(vector.Append(CTextString("s")), i);
    EXPECT_EQ(vector.Capacity(), kCapacities[i]) << "after append " << i + 1;
  }
}

TEST_F(GrowableTest, FixedGrowSizeRoundsUpToAMultiple) {
  struct Case {
    int m_nGrowSize;
    int m_nRequest;
    int m_nCapacity;
  };
  static const Case kCases[] = {
      {10, 25, 30}, {10, 30, 30}, {10, 1, 10}, {10, 0, 10}, {7, 8, 14},
  };
  for (const Case &test : kCases) {
    CGrowableMemory<int> memory(test.m_nGrowSize);
    EXPECT_TRUE(memory.Grow(test.m_nRequest));
    EXPECT_EQ(memory.Capacity(), test.m_nCapacity) << test.m_nRequest;
    EXPECT_EQ(BytesNow(), test.m_nCapacity * static_cast<int64_t>(sizeof(int)));
  }
}

// A request that does not fit a signed 32-bit count, in elements or in
// bytes, fails without calling the allocator and leaves the block usable.
TEST_F(GrowableTest, OverflowingGrowthFailsAndChangesNothing) {
  struct Case {
    const char *m_pszLabel;
    int m_nGrowSize;
    int m_nFirst;  // a successful growth first (0: none)
    int m_nExtra;
  };
  static const Case kCases[] = {
      {"doubling past 2^31 elements", 0, 0, INT_MAX},
      {"doubling from a block", 0, 40, INT_MAX - 10},
      {"stepping past 2^31", 10, 0, INT_MAX - 5},
      {"elements fit, bytes do not", 0, 0, (1 << 30)},
      {"stepping, bytes do not fit", 1000, 0, (1 << 29)},
      {"negative request", 0, 40, -1},
  };
  for (const Case &test : kCases) {
    SCOPED_TRACE(test.m_pszLabel);
    CGrowableMemory<int> memory(test.m_nGrowSize);
    if (test.m_nFirst > 0) {
      ASSERT_TRUE(memory.Grow(test.m_nFirst));
      memory.Base()[0] = 1234;
    }
    int *const pBase = memory.Base();
    const int nCapacity = memory.Capacity();
    const int64_t nCalls = AllocCallsNow();

    EXPECT_FALSE(memory.Grow(test.m_nExtra));
    EXPECT_EQ(AllocCallsNow(), nCalls);
    EXPECT_EQ(memory.Base(), pBase);
    EXPECT_EQ(memory.Capacity(), nCapacity);
    if (test.m_nFirst > 0) {
      EXPECT_EQ(memory.Base()[0], 1234);
      EXPECT_TRUE(memory.Grow(1));  // still usable
    }
  }
}

// An allocator answering null leaves the block and its capacity as they
// were; the byte block keeps what fits.
TEST_F(GrowableTest, AllocatorFailureKeepsTheOldBlock) {
  CGrowableMemory<char> memory;
  Tier0_FailNthAlloc(1);
  EXPECT_FALSE(memory.Grow(5));
  EXPECT_EQ(memory.Base(), nullptr);
  EXPECT_EQ(memory.Capacity(), 0);

  ASSERT_TRUE(memory.Grow(5));
  memcpy(memory.Base(), "kept", 5);
  char *const pBase = memory.Base();
  Tier0_FailNthAlloc(1);
  EXPECT_FALSE(memory.Grow(100));
  EXPECT_EQ(memory.Base(), pBase);
  EXPECT_EQ(memory.Capacity(), 32);
  EXPECT_STREQ(memory.Base(), "kept");

  CTextString text;
  Tier0_FailNthAlloc(1);
  CTextString failed("lost");
  EXPECT_EQ(failed.Length(), 0);
  EXPECT_STREQ(failed.Get(), "");

  CByteBlock block;
  block.Set("0123456789", 10);
  static const char kLong[40] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
  Tier0_FailNthAlloc(1);
  block.Set(kLong, 40);
  EXPECT_EQ(block.Length(), 32);
  EXPECT_EQ(memcmp(block.Base(), kLong, 32), 0);

  CGrowableVector<CTextString> vector;
  Tier0_FailNthAlloc(1);
  EXPECT_EQ(vector.Append(text), -1);
  EXPECT_EQ(vector.Count(), 0);
  EXPECT_EQ(vector.Append(text), 0);
}

TEST_F(GrowableTest, ByteBlockSetRules) {
  CByteBlock block;
  block.Set("abcdef", 6);
  const unsigned char *const pBase = block.Base();

  block.Set(nullptr, 5);  // a null source stores nothing, keeps the block
  EXPECT_EQ(block.Length(), 0);
  EXPECT_EQ(block.Base(), pBase);
  EXPECT_EQ(block.Capacity(), 32);

  struct OverlapCase {
    int m_nOffset;
    int m_nLength;
    const char *m_pszExpected;
  };
  static const OverlapCase kOverlaps[] = {
      {2, 4, "cdef"}, {0, 6, "abcdef"}, {1, 3, "bcd"},
  };
  for (const OverlapCase &test : kOverlaps) {
    block.Set("abcdef", 6);
    block.Set(block.Base() + test.m_nOffset, test.m_nLength);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block.Base()),
                          block.Length()),
              test.m_pszExpected);
  }

  // A block that is not owned never grows: the length is cut to it.
  unsigned char external[4];
  CGrowableMemory<unsigned char> fixed(external, 4);
  EXPECT_FALSE(fixed.Grow(10));
  fixed.Purge();
  EXPECT_EQ(fixed.Base(), external);
  EXPECT_EQ(fixed.Capacity(), 4);
}

TEST_F(GrowableTest, TextStringCopies) {
  CTextString empty;
  EXPECT_EQ(empty.Length(), 0);
  EXPECT_STREQ(empty.Get(), "");
  EXPECT_EQ(BytesNow(), 0);

  CTextString copy(empty);
  EXPECT_EQ(copy.Length(), 1);
  EXPECT_EQ(copy.Capacity(), 32);
  EXPECT_STREQ(copy.Get(), "");

  CTextString text("hello");
  CTextString textCopy(text);
  EXPECT_EQ(textCopy.Length(), 6);
  EXPECT_STREQ(textCopy.Get(), "hello");
  EXPECT_NE(textCopy.Get(), text.Get());

  CTextString null(nullptr);
  EXPECT_EQ(null.Length(), 0);
}

TEST_F(GrowableTest, InsertAtMovesLaterElementsUp) {
  struct Case {
    int m_nIndex;
    int m_nAnswer;
    const char *m_pszAfter;  // elements joined
  };
  static const Case kCases[] = {
      {0, 0, "xabc"}, {1, 1, "axbc"}, {2, 2, "abxc"}, {3, 3, "abcx"},
      {4, -1, "abc"}, {-1, -1, "abc"},
  };
  for (const Case &test : kCases) {
    CGrowableVector<CTextString> vector;
    vector.Append(CTextString("a"));
    vector.Append(CTextString("b"));
    vector.Append(CTextString("c"));
    EXPECT_EQ(vector.InsertAt(test.m_nIndex, CTextString("x")),
              test.m_nAnswer);
    std::string joined;
    for (int i = 0; i < vector.Count(); ++i) joined += vector[i].Get();
    EXPECT_EQ(joined, test.m_pszAfter) << test.m_nIndex;
  }
}

// The value may be an element of the same vector, even when the insertion
// moves the block.
TEST_F(GrowableTest, InsertAtCopiesAnElementOfTheSameVector) {
  CGrowableVector<CTextString> vector;
  vector.Append(CTextString("a"));
  vector.Append(CTextString("b"));
  ASSERT_EQ(vector.Capacity(), 2);
  EXPECT_EQ(vector.InsertAt(0, vector[1]), 0);
  EXPECT_EQ(vector.InsertAt(3, vector[0]), 3);
  std::string joined;
  for (int i = 0; i < vector.Count(); ++i) joined += vector[i].Get();
  EXPECT_EQ(joined, "babb");
}

TEST(FormatBoundedTest, CutsAndAlwaysTerminates) {
  struct Case {
    int m_nSize;
    const char *m_pszText;
    int m_nAnswer;
    const char *m_pszStored;
  };
  static const Case kCases[] = {
      {8, "abc", 3, "abc"},
      {8, "abcdefg", 7, "abcdefg"},      // output and terminator fit exactly
      {8, "abcdefgh", 8, "abcdefg"},     // as long as the size
      {8, "abcdefghijk", 8, "abcdefg"},  // longer
      {1, "x", 1, ""},
      {8, "", 0, ""},
  };
  for (const Case &test : kCases) {
    char szBuffer[16];
    memset(szBuffer, '#', sizeof(szBuffer));
    const int64_t nChecks = Tier0_GetPointerCheckCount();
    EXPECT_EQ(FormatBounded(szBuffer, test.m_nSize, "%s", test.m_pszText),
              test.m_nAnswer);
    EXPECT_STREQ(szBuffer, test.m_pszStored);
    EXPECT_EQ(szBuffer[test.m_nSize], '#') << "wrote past the size";
    EXPECT_EQ(Tier0_GetPointerCheckCount() - nChecks, 2);
  }

  char szNumber[32];
  EXPECT_EQ(FormatBounded(szNumber, sizeof(szNumber), "%f", 1.5), 8);
  EXPECT_STREQ(szNumber, "1.500000");

  char szUntouched[4] = "abc";
  EXPECT_EQ(FormatBounded(szUntouched, 0, "%s", "xyz"), 0);
  EXPECT_STREQ(szUntouched, "abc");
}

}  // namespace
