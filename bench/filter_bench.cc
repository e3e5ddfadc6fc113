// The receive path's cost: the filter on a non-empty receive against a
// direct call of the entry it wraps, the empty path against the number of
// distinct senders, the reference walk at the same sizes, one loopback
// recvfrom for scale, and the table's memory after a million senders.
#include <malloc.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "bench/reference_walk.h"
#include "plugin/attackers.h"
#include "plugin/filter.h"
#include "plugin/host_handles.h"
#include "tests/plugin_fixture.h"

namespace {

CaptureHost s_Host;

// The sender that the stub entry reports next: drawn at random from N
// addresses, as a spoofed flood brings them, so that neither table gains
// from an access order a flood would not give it.
uint32_t s_nSenders = 1;
uint32_t s_nRandom = 1;

inline uint32_t NextSender() {
  s_nRandom = s_nRandom * 1664525u + 1013904223u;
  return static_cast<uint32_t>((uint64_t(s_nRandom) * s_nSenders) >> 32);
}

// Every one of the N senders once, in order, so that the table is full
// before the timing starts.
template <typename Fn>
void SeeEverySender(uint32_t nSenders, Fn fn) {
  for (uint32_t i = 0; i < nSenders; ++i) fn(i);
}

// Distinct addresses, as a spoofed flood would bring them.
inline void FillSender(sockaddr_in *from, uint32_t n) {
  from->sin_family = AF_INET;
  from->sin_addr.s_addr = htonl(0x0A000000u + n);
}

int StubData(int, char *, int, int, sockaddr *, int *) { return 100; }

int StubEmpty(int, char *, int len, int, sockaddr *from, int *fromlen) {
  FillSender(reinterpret_cast<sockaddr_in *>(from), NextSender());
  *fromlen = sizeof(sockaddr_in);
  return 0;
}

// Installs the filter over `pfn`; the host sink swallows the messages.
void InstallFilterOver(RecvFromFn pfn) {
  g_pHostApi = &s_Host;
  DisableFilter();
  g_pVCR->Hook_recvfrom = pfn;
  EnableFilter();
  s_Host.TakeOutput();
}

void RemoveFilter() {
  DisableFilter();
  ClearAttackers();
  s_Host.TakeOutput();
}

int CallEntry() {
  char buf[64];
  sockaddr_in from;
  int fromlen = sizeof from;
  return g_pVCR->Hook_recvfrom(3, buf, sizeof buf, 0,
                               reinterpret_cast<sockaddr *>(&from), &fromlen);
}

void BM_DirectCall(benchmark::State &state) {
  g_pVCR->Hook_recvfrom = &StubData;
  for (auto _ : state) benchmark::DoNotOptimize(CallEntry());
}
BENCHMARK(BM_DirectCall);

void BM_FilterNonEmpty(benchmark::State &state) {
  InstallFilterOver(&StubData);
  for (auto _ : state) benchmark::DoNotOptimize(CallEntry());
  RemoveFilter();
}
BENCHMARK(BM_FilterNonEmpty);

const int64_t kSenderCounts[] = {1, 10, 100, 1000, 10000, 65536, 1000000};

void SenderArgs(benchmark::internal::Benchmark *b) {
  for (int64_t n : kSenderCounts) b->Arg(n);
}

// The stub entry's own cost, which both tables below also pay.
void BM_EmptyStubOnly(benchmark::State &state) {
  s_nSenders = static_cast<uint32_t>(state.range(0));
  g_pVCR->Hook_recvfrom = &StubEmpty;
  for (auto _ : state) benchmark::DoNotOptimize(CallEntry());
}
BENCHMARK(BM_EmptyStubOnly)->Apply(SenderArgs);

void BM_EmptyPath(benchmark::State &state) {
  s_nSenders = static_cast<uint32_t>(state.range(0));
  InstallFilterOver(&StubEmpty);
  SeeEverySender(s_nSenders, [](uint32_t i) {
    RecordAttacker(10, i >> 16 & 255, i >> 8 & 255, i & 255);
  });
  for (auto _ : state) benchmark::DoNotOptimize(CallEntry());
  state.counters["tracked"] = g_Attackers.Size();
  RemoveFilter();
}
BENCHMARK(BM_EmptyPath)->Apply(SenderArgs);

void BM_ReferenceWalk(benchmark::State &state) {
  uint32_t nSenders = static_cast<uint32_t>(state.range(0));
  ReferenceWalk walk;
  SeeEverySender(nSenders, [&walk](uint32_t i) {
    walk.AppendUnchecked(10, i >> 16 & 255, i >> 8 & 255, i & 255);
  });
  s_nSenders = nSenders;
  for (auto _ : state) {
    // The same receive as the filter makes, then the walk.
    char buf[64];
    sockaddr_in from;
    int fromlen = sizeof from;
    StubEmpty(3, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&from.sin_addr);
    walk.Record(a[0], a[1], a[2], a[3]);
  }
}
BENCHMARK(BM_ReferenceWalk)->Apply(SenderArgs);

// One recvfrom of an empty datagram on loopback, datagrams queued in
// batches outside the timing.
void BM_LoopbackRecvFrom(benchmark::State &state) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
  int rcvbuf = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  const int kBatch = 256;
  int nQueued = 0;
  char buf[64];
  for (auto _ : state) {
    if (nQueued == 0) {
      state.PauseTiming();
      for (int i = 0; i < kBatch; ++i)
        sendto(s, "", 0, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
      nQueued = kBatch;
      state.ResumeTiming();
    }
    sockaddr_in from;
    socklen_t fromlen = sizeof from;
    benchmark::DoNotOptimize(recvfrom(s, buf, sizeof buf, 0,
                                      reinterpret_cast<sockaddr *>(&from), &fromlen));
    --nQueued;
  }
  close(s);
}
BENCHMARK(BM_LoopbackRecvFrom);

// Heap in use by the table after a million distinct senders.
void BM_TableMemory(benchmark::State &state) {
  for (auto _ : state) {
    InstallFilterOver(&StubEmpty);
    size_t nBefore = mallinfo2().uordblks;
    SeeEverySender(1000000, [](uint32_t i) {
      RecordAttacker(10, i >> 16 & 255, i >> 8 & 255, i & 255);
    });
    size_t nAfter = mallinfo2().uordblks;
    state.counters["bytes"] = static_cast<double>(nAfter - nBefore);
    state.counters["tracked"] = g_Attackers.Size();
    RemoveFilter();
  }
}
BENCHMARK(BM_TableMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
