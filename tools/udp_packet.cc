// Checksums follow RFC 1071: a 32-bit accumulator of 16-bit words, folded
// at the end.  The UDP checksum covers the pseudo-header (addresses,
// protocol, length), the UDP header and the payload.
#include "tools/udp_packet.h"

#include <netinet/in.h>

namespace qgflood {

namespace {

void Put16(uint8_t *p, uint16_t n) {
  p[0] = static_cast<uint8_t>(n >> 8);
  p[1] = static_cast<uint8_t>(n);
}

void Put32(uint8_t *p, uint32_t n) {
  Put16(p, static_cast<uint16_t>(n >> 16));
  Put16(p + 2, static_cast<uint16_t>(n));
}

}  // namespace

uint32_t ChecksumAdd(uint32_t nSum, const uint8_t *pData, size_t nSize) {
  // A 64-bit accumulator cannot overflow for any datagram size; fold it
  // back into the 32-bit running sum at the end.
  uint64_t nWide = nSum;
  size_t i = 0;
  for (; i + 1 < nSize; i += 2)
    nWide += static_cast<uint32_t>(pData[i] << 8 | pData[i + 1]);
  if (i < nSize) nWide += static_cast<uint32_t>(pData[i] << 8);
  while (nWide >> 32) nWide = (nWide & 0xffffffffu) + (nWide >> 32);
  return static_cast<uint32_t>(nWide);
}

uint16_t ChecksumFinish(uint32_t nSum) {
  while (nSum >> 16) nSum = (nSum & 0xffff) + (nSum >> 16);
  return static_cast<uint16_t>(~nSum);
}

void WriteUdpHeaders(uint8_t *pPacket, const UdpEndpoints &endpoints,
                     uint16_t nIpId, size_t nPayloadSize,
                     uint32_t nPayloadSum) {
  const uint16_t nUdpLength =
      static_cast<uint16_t>(kUdpHeaderSize + nPayloadSize);
  const uint16_t nTotalLength =
      static_cast<uint16_t>(kHeadersSize + nPayloadSize);

  uint8_t *pIp = pPacket;
  pIp[0] = 0x45;  // version 4, 5 words of header
  pIp[1] = 0;     // DSCP/ECN
  Put16(pIp + 2, nTotalLength);
  Put16(pIp + 4, nIpId);
  Put16(pIp + 6, 0x4000);  // don't fragment
  pIp[8] = 64;             // TTL
  pIp[9] = IPPROTO_UDP;
  Put16(pIp + 10, 0);
  Put32(pIp + 12, endpoints.m_nSourceAddr);
  Put32(pIp + 16, endpoints.m_nDestAddr);
  Put16(pIp + 10, ChecksumFinish(ChecksumAdd(0, pIp, kIpHeaderSize)));

  uint8_t *pUdp = pPacket + kIpHeaderSize;
  Put16(pUdp + 0, endpoints.m_nSourcePort);
  Put16(pUdp + 2, endpoints.m_nDestPort);
  Put16(pUdp + 4, nUdpLength);
  Put16(pUdp + 6, 0);

  uint8_t pseudo[12];
  Put32(pseudo + 0, endpoints.m_nSourceAddr);
  Put32(pseudo + 4, endpoints.m_nDestAddr);
  pseudo[8] = 0;
  pseudo[9] = IPPROTO_UDP;
  Put16(pseudo + 10, nUdpLength);
  uint32_t nSum = ChecksumAdd(nPayloadSum, pseudo, sizeof(pseudo));
  nSum = ChecksumAdd(nSum, pUdp, kUdpHeaderSize);
  uint16_t nChecksum = ChecksumFinish(nSum);
  // Zero means "no checksum" in UDP over IPv4; the same value in one's
  // complement is all ones.
  Put16(pUdp + 6, nChecksum == 0 ? 0xffff : nChecksum);
}

}  // namespace qgflood
