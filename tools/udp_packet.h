// Hand-built IPv4 + UDP datagrams for a raw socket.
//
// WriteUdpHeaders fills the 28 header bytes in front of a payload that is
// already in place, with correct IPv4 header and UDP checksums, so the
// datagram is valid on any interface, not only on loopback where the kernel
// would accept a zero UDP checksum.
#ifndef QUELLGATE_TOOLS_UDP_PACKET_H_
#define QUELLGATE_TOOLS_UDP_PACKET_H_

#include <stddef.h>
#include <stdint.h>

namespace qgflood {

constexpr size_t kIpHeaderSize = 20;
constexpr size_t kUdpHeaderSize = 8;
constexpr size_t kHeadersSize = kIpHeaderSize + kUdpHeaderSize;

// One's-complement sum of `nSize` bytes taken as big-endian 16-bit words
// (an odd last byte is padded with zero), added to `nSum`, not folded.
uint32_t ChecksumAdd(uint32_t nSum, const uint8_t *pData, size_t nSize);

// Folds a sum to 16 bits and complements it: the value that goes into a
// checksum field (in host order).
uint16_t ChecksumFinish(uint32_t nSum);

struct UdpEndpoints {
  uint32_t m_nSourceAddr;  // host byte order
  uint16_t m_nSourcePort;
  uint32_t m_nDestAddr;
  uint16_t m_nDestPort;
};

// Writes the headers into pPacket[0..28).  The payload of nPayloadSize
// bytes must already be at pPacket + 28, and nPayloadSum must be
// ChecksumAdd(0, payload, nPayloadSize): the payload is the same for every
// datagram of a flood, so its sum is taken once.  nPayloadSize must be at
// most 65535 - 28.
void WriteUdpHeaders(uint8_t *pPacket, const UdpEndpoints &endpoints,
                     uint16_t nIpId, size_t nPayloadSize,
                     uint32_t nPayloadSum);

}  // namespace qgflood

#endif  // QUELLGATE_TOOLS_UDP_PACKET_H_
