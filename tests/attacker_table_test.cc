// The attacker table at scale: the index against the insertion order, the
// bound on tracked addresses, allocation failure while counting, and
// counting on one thread while the console reports on another.
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "plugin/attackers.h"
#include "plugin/host_handles.h"
#include "tests/plugin_fixture.h"

// Fault injection for the library heap: the Nth nothrow allocation from now
// fails.  The table allocates only through the nothrow forms.  A block that
// is handed out comes from the ordinary operator new, so that the ordinary
// delete that frees it is its matching release.
static std::atomic<int> s_nFailNthNew{0};

void *operator new(size_t n, const std::nothrow_t &) noexcept {
  int nLeft = s_nFailNthNew.load();
  if (nLeft > 0 && s_nFailNthNew.fetch_sub(1) == 1) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

const char kHeader[] =
    "[-] Quellgate - Disable\n Attacker IP\t|\tPacket\n"
    "--------------------------------\n";
const char kFooter[] = "--------------------------------\n";

void RecordIndex(uint32_t i) {
  // Distinct addresses inside 10.0.0.0/8, first octet first.
  RecordAttacker(10, (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
}

// Sums every row of the table and the other-address total.
uint64_t TotalCounted() {
  uint64_t nTotal = g_Attackers.Others();
  for (AttackerNode *p = g_Attackers.First(); p != g_Attackers.End(); p = p->next)
    nTotal += p->record->packets;
  return nTotal;
}

class AttackerTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pHostApi = &m_Host;
    ClearAttackers();
  }
  void TearDown() override {
    s_nFailNthNew = 0;
    ClearAttackers();
  }
  std::string Status() {
    m_Host.TakeOutput();
    StatusCommand();
    return m_Host.TakeOutput();
  }
  CaptureHost m_Host;
};

// Addresses counted in rounds: every address once per round, so the index
// must find every earlier address after each growth.
TEST_F(AttackerTableTest, IndexFindsEveryAddressAcrossGrowth) {
  const uint32_t kAddresses = 5000;
  for (int round = 1; round <= 3; ++round) {
    for (uint32_t i = 0; i < kAddresses; ++i) RecordIndex(i);
    ASSERT_EQ(g_Attackers.Size(), static_cast<int>(kAddresses));
  }
  uint32_t i = 0;
  for (AttackerNode *p = g_Attackers.First(); p != g_Attackers.End();
       p = p->next, ++i) {
    EXPECT_EQ(p->record->octet4, static_cast<int>(i & 0xFF));
    EXPECT_EQ(p->record->octet3, static_cast<int>((i >> 8) & 0xFF));
    ASSERT_EQ(p->record->packets, 3u) << i;
  }
  EXPECT_EQ(g_Attackers.Others(), 0u);
}

TEST_F(AttackerTableTest, AddressesPastTheBoundGoIntoOneTotal) {
  const uint32_t kMax = AttackerTable::kMaxAddresses;
  struct Case {
    uint32_t addresses;  // distinct senders, each sending once
    uint32_t repeats;    // then every sender once more
    int rows;
    uint32_t others;
  } cases[] = {
      {kMax - 1, 0, static_cast<int>(kMax - 1), 0},
      {kMax, 1, static_cast<int>(kMax), 0},
      {kMax + 1, 0, static_cast<int>(kMax), 1},
      {kMax + 100, 1, static_cast<int>(kMax), 200},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.addresses);
    ClearAttackers();
    for (uint32_t r = 0; r <= c.repeats; ++r)
      for (uint32_t i = 0; i < c.addresses; ++i) RecordIndex(i);
    EXPECT_EQ(g_Attackers.Size(), c.rows);
    EXPECT_EQ(g_Attackers.Others(), c.others);
    EXPECT_EQ(TotalCounted(), uint64_t(c.addresses) * (c.repeats + 1));
  }
}

TEST_F(AttackerTableTest, ReportEndsWithTheOtherAddressTotal) {
  for (uint32_t i = 0; i < AttackerTable::kMaxAddresses + 2; ++i) RecordIndex(i);
  std::string report = Status();
  ASSERT_EQ(report.compare(0, strlen(kHeader), kHeader), 0);
  std::string tail = " 10.0.255.255\t|\t1\n (others)\t|\t2\n" + std::string(kFooter);
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
}

// The first allocation of a new sender's record or node fails: the
// datagram lands in the other-address total, and nothing else changes.
TEST_F(AttackerTableTest, AllocationFailureCountsTheDatagramElsewhere) {
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    ClearAttackers();
    RecordAttacker(192, 0, 2, 1);
    s_nFailNthNew = nth;
    RecordAttacker(192, 0, 2, 2);
    s_nFailNthNew = 0;
    EXPECT_EQ(g_Attackers.Size(), 1);
    EXPECT_EQ(g_Attackers.Others(), 1u);
    RecordAttacker(192, 0, 2, 2);
    RecordAttacker(192, 0, 2, 1);
    EXPECT_EQ(Status(), std::string(kHeader) + " 192.0.2.1\t|\t2\n" +
                            " 192.0.2.2\t|\t1\n (others)\t|\t1\n" + kFooter);
  }
}

TEST_F(AttackerTableTest, ClearForgetsTheOtherAddressTotal) {
  for (uint32_t i = 0; i < AttackerTable::kMaxAddresses + 1; ++i) RecordIndex(i);
  ClearAttackers();
  EXPECT_EQ(Status(), std::string(kHeader) + kFooter);
}

// Two receive threads count over the same addresses while the console
// reports: no count is lost, so the lock really serialises the table.
TEST_F(AttackerTableTest, CountsExactlyWhileTheConsoleReports) {
  const int kPerThread = 200000;
  std::atomic<bool> bDone{false};
  std::thread console([&] {
    while (!bDone.load()) {
      StatusCommand();
      m_Host.TakeOutput();
    }
  });
  auto receive = [] {
    for (int i = 0; i < kPerThread; ++i) RecordIndex(static_cast<uint32_t>(i % 3000));
  };
  std::thread second(receive);
  receive();
  second.join();
  bDone = true;
  console.join();
  EXPECT_EQ(g_Attackers.Size(), 3000);
  EXPECT_EQ(TotalCounted(), 2u * kPerThread);
}

// The console clears the table while a receive thread counts into it: the
// table stays whole (its size is its ring's length, every record counted at
// least once), and nothing is counted twice.  Under the address sanitizer a
// record used after its free would show here.
TEST_F(AttackerTableTest, ClearWhileCountingLeavesAWholeTable) {
  const int kDatagrams = 200000;
  std::atomic<bool> bDone{false};
  std::thread console([&] {
    while (!bDone.load()) {
      ClearAttackers();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int i = 0; i < kDatagrams; ++i) RecordIndex(static_cast<uint32_t>(i % 3000));
  bDone = true;
  console.join();
  int nNodes = 0;
  for (AttackerNode *p = g_Attackers.First(); p != g_Attackers.End(); p = p->next) {
    ++nNodes;
    EXPECT_GE(p->record->packets, 1u);
  }
  EXPECT_EQ(nNodes, g_Attackers.Size());
  EXPECT_LE(TotalCounted(), static_cast<uint64_t>(kDatagrams));
}

}  // namespace
