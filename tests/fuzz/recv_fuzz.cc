// The receive path, FilteredRecvFrom, in front of a scripted saved entry.
// Each input is a series of receives; for each one the input chooses what
// the caller passes (buffer length, a data buffer or none, an address buffer
// that is missing, too short or long enough, and its length word or none)
// and what the saved entry does (its result, the address it writes within
// the capacity it is given, and the full address length it reports back,
// as the kernel does, even beyond that capacity).
//
// Every buffer is a heap block of exactly the size the caller claims, so
// the address sanitizer reports any access outside what the caller gave.
// The checks hold what the filter promises the engine: a non-empty result
// passes back unchanged; an empty datagram is reported as min(len, 25)
// bytes (0 when len is 0 or less), never more than len, and those bytes are
// zeroed while the rest of the buffer is untouched; the sender is counted
// exactly when the caller gave room for an IPv4 address, and the attacker
// table's rows and other-address total always add up to what was counted.
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

#include "plugin/attackers.h"
#include "plugin/filter.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const uint8_t kStale = 0xA5;

// What the saved entry does on its next call.
struct Script {
  int m_nResult;
  std::vector<uint8_t> m_Address;  // written up to the capacity given
  bool m_bWriteFromLen;
  int m_nReportedFromLen;
  // What it was called with.
  int m_nCalls;
  char *m_pBuf;
  int m_nLen;
  struct sockaddr *m_pFrom;
  int *m_pFromLen;
};
Script s_Script;

int ScriptedRecvFrom(int s, char *buf, int len, int flags,
                     struct sockaddr *from, int *fromlen) {
  ++s_Script.m_nCalls;
  // The filter passes the call on exactly as it came.
  CHECK(buf == s_Script.m_pBuf && len == s_Script.m_nLen &&
        from == s_Script.m_pFrom && fromlen == s_Script.m_pFromLen);
  if (s_Script.m_nResult > 0 && buf != nullptr && len > 0) {
    const int nWritten = s_Script.m_nResult < len ? s_Script.m_nResult : len;
    memset(buf, 0x3C, static_cast<size_t>(nWritten));
  }
  if (from != nullptr && fromlen != nullptr && *fromlen > 0) {
    size_t nCopy = s_Script.m_Address.size();
    if (nCopy > static_cast<size_t>(*fromlen))
      nCopy = static_cast<size_t>(*fromlen);
    if (nCopy > 0) memcpy(from, s_Script.m_Address.data(), nCopy);
  }
  if (fromlen != nullptr && s_Script.m_bWriteFromLen) {
    *fromlen = s_Script.m_nReportedFromLen;
  }
  return s_Script.m_nResult;
}

// Every datagram the table holds: the rows and the other-address total.
uint64_t TableTotal() {
  uint64_t nTotal = g_Attackers.Others();
  for (AttackerNode *pNode = g_Attackers.First(); pNode != g_Attackers.End();
       pNode = pNode->next) {
    nTotal += pNode->record->packets;
  }
  return nTotal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  g_pfnSavedRecvFrom = &ScriptedRecvFrom;
  ClearAttackers();
  uint64_t nCounted = 0;

  for (int nReceive = 0; nReceive < 64 && input.remaining_bytes() > 0;
       ++nReceive) {
    // Mostly empty datagrams: that is where the filter does its work.
    const int nChoice = input.ConsumeIntegralInRange<int>(0, 7);
    int nResult = 0;
    if (nChoice == 6) nResult = input.ConsumeIntegral<int>();
    if (nChoice == 7) nResult = input.ConsumeIntegralInRange<int>(-1, 40);

    const int nLen = input.ConsumeIntegralInRange<int>(-4, 64);
    const bool bHasBuf = input.ConsumeIntegralInRange<int>(0, 7) != 0;
    const int nFromKind = input.ConsumeIntegralInRange<int>(0, 3);
    const bool bHasFromLen = input.ConsumeIntegralInRange<int>(0, 7) != 0;

    // The caller's data buffer, stale bytes from an earlier datagram in it.
    const size_t nBufBlock = nLen > 0 ? static_cast<size_t>(nLen) : 0;
    char *pBuf = nullptr;
    if (bHasBuf) {
      pBuf = static_cast<char *>(malloc(nBufBlock > 0 ? nBufBlock : 1));
      memset(pBuf, kStale, nBufBlock);
    }

    // The caller's address buffer: none, shorter than an IPv4 address, or
    // at least as long; the length word says honestly what it holds (or
    // less).
    size_t nFromBlock = 0;
    if (nFromKind == 1) {
      nFromBlock =
          input.ConsumeIntegralInRange<size_t>(0, sizeof(sockaddr_in) - 1);
    } else if (nFromKind >= 2) {
      nFromBlock = input.ConsumeIntegralInRange<size_t>(
          sizeof(sockaddr_in), sizeof(sockaddr_storage));
    }
    struct sockaddr *pFrom = nullptr;
    if (nFromKind != 0) {
      pFrom = static_cast<struct sockaddr *>(
          malloc(nFromBlock > 0 ? nFromBlock : 1));
      memset(pFrom, 0, nFromBlock);
    }
    int nFromLen = 0;
    if (bHasFromLen) {
      nFromLen =
          input.ConsumeIntegralInRange<int>(-2, static_cast<int>(nFromBlock));
      if (nFromKind >= 2 && input.ConsumeBool())
        nFromLen = static_cast<int>(nFromBlock);
    }
    int *pFromLen = bHasFromLen ? &nFromLen : nullptr;
    const int nCapacity = nFromLen;

    s_Script.m_nResult = nResult;
    s_Script.m_Address = input.ConsumeBytes<uint8_t>(
        input.ConsumeIntegralInRange<size_t>(0, sizeof(sockaddr_in)));
    s_Script.m_bWriteFromLen = input.ConsumeBool();
    s_Script.m_nReportedFromLen =
        input.ConsumeBool() ? static_cast<int>(sizeof(sockaddr_in))
                            : input.ConsumeIntegralInRange<int>(-1, 256);
    s_Script.m_nCalls = 0;
    s_Script.m_pBuf = pBuf;
    s_Script.m_nLen = nLen;
    s_Script.m_pFrom = pFrom;
    s_Script.m_pFromLen = pFromLen;

    const int r = FilteredRecvFrom(3, pBuf, nLen, 0, pFrom, pFromLen);

    CHECK(s_Script.m_nCalls == 1);
    if (nResult != 0) {
      CHECK(r == nResult);
    } else {
      const int nExpected = nLen <= 0 ? 0
                            : nLen < kEmptyDatagramReportSize
                                ? nLen
                                : static_cast<int>(kEmptyDatagramReportSize);
      CHECK(r == nExpected);
      CHECK(r <= (nLen > 0 ? nLen : 0));
      if (pBuf != nullptr) {
        for (int i = 0; i < r; ++i) CHECK(pBuf[i] == 0);
        for (size_t i = static_cast<size_t>(r); i < nBufBlock; ++i) {
          CHECK(static_cast<uint8_t>(pBuf[i]) == kStale);
        }
      }
      if (pFrom != nullptr && bHasFromLen &&
          nCapacity >= static_cast<int>(sizeof(sockaddr_in))) {
        ++nCounted;
      }
    }
    CHECK(TableTotal() == nCounted);

    free(pFrom);
    free(pBuf);
  }
  ClearAttackers();
  return 0;
}
