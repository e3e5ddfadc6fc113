// The spoofed source addresses of a flood.
//
// SourceAddress(i) maps each index below kMaxSources to a distinct address
// inside 127.0.0.0/8, strictly increasing with i.  It starts at 127.1.0.1,
// so no source is ever 127.0.0.1 (where the ping socket lives), and it skips
// host parts .0 and .255 so no source looks like a network or broadcast
// address.
#ifndef QUELLGATE_TOOLS_SOURCE_ADDRESSES_H_
#define QUELLGATE_TOOLS_SOURCE_ADDRESSES_H_

#include <stdint.h>

namespace qgflood {

// 255 values of the second byte (1..255) x 256 of the third x 254 host
// parts (1..254).
constexpr uint32_t kHostPartsPerBlock = 254;
constexpr uint32_t kMaxSources = 255u * 256u * kHostPartsPerBlock;

// Host byte order.  Requires nIndex < kMaxSources.
inline uint32_t SourceAddress(uint32_t nIndex) {
  uint32_t nHost = 1 + nIndex % kHostPartsPerBlock;
  uint32_t nBlock = nIndex / kHostPartsPerBlock;  // < 255 * 256
  uint32_t nSecond = 1 + nBlock / 256;
  uint32_t nThird = nBlock % 256;
  return (127u << 24) | (nSecond << 16) | (nThird << 8) | nHost;
}

// The UDP source port that goes with source nIndex when the tool writes
// headers itself: a fixed port per source, above the privileged range.
inline uint16_t SourcePort(uint32_t nIndex) {
  return static_cast<uint16_t>(1024 + nIndex % (65536 - 1024));
}

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_SOURCE_ADDRESSES_H_
