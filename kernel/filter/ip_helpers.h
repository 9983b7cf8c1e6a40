// IPv4 helpers of the packet path: big-endian field access, the Internet
// checksums of IPv4, UDP and TCP, the parsed packet record that the packet
// path hands to the tunnel and the firewall, and the MSS clamp.
#pragma once
#include "kern_host.h"

struct FrameContext;

constexpr uint16_t ETH_TYPE_IPV4 = 0x0800;
constexpr uint32_t ETH_HEADER_LEN = 14;
constexpr uint8_t IPPROTO_ICMP_NUM = 1;
constexpr uint8_t IPPROTO_TCP_NUM = 6;
constexpr uint8_t IPPROTO_UDP_NUM = 17;
constexpr uint8_t TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10;

inline uint16_t be16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
inline void put_be16(uint8_t *p, uint16_t v) {
  p[0] = (uint8_t)(v >> 8);
  p[1] = (uint8_t)v;
}
inline void put_be32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (24 - 8 * i));
}

// One IPv4 packet in a frame copy, as the packet path parsed it.
struct IPPacket {
  uint8_t *frame;        // Ethernet-shaped frame copy
  uint32_t linklen;      // link header length in front of ip
  uint8_t *ip;           // the IPv4 header
  uint32_t buflen;       // bytes from ip to the end of the copy
  uint32_t ihl;          // header length in bytes
  uint32_t total;        // IPv4 total length
  uint32_t src, dst;     // host order
  uint8_t proto;
  uint8_t tos;
  uint16_t sport, dport; // 0 unless read from the first fragment
  uint16_t fragoff;      // fragment offset in bytes
  uint8_t mf;            // more fragments
  uint8_t reassembled;
  uint32_t payload;      // total - ihl
  FrameContext *ctx;    // the frame the packet came in
  uint32_t limitflags;   // tunnel size limit: bit 0 applies, bit 1 carried
  uint32_t limit;        // the inner size limit in bytes
  uint32_t clientindex;  // address-table entry of the far end (0 none)
};

extern "C" {
// One's-complement sum of len bytes (big-endian words) added to sum, folded
// to 16 bits, not complemented.
uint16_t IPSum(const uint8_t *data, uint32_t len, uint32_t sum);
// The checksum of the IPv4 header: computed over ihl bytes and stored.
void CalcChecksum(uint8_t *ip);
// 1 when the header of ihl bytes sums to 0xFFFF.
uint32_t IsValidIpChkSum(const uint8_t *ip);
// UDP or TCP checksum of the packet at ip (its total length) computed and
// stored; a UDP checksum that comes out 0 is sent as 0xFFFF.
void CalcUdpTcpChkSum(uint8_t *ip);
// 1 when the UDP or TCP checksum of the packet does not verify (a UDP
// checksum of 0 means none and verifies); also 1 when the transport length
// does not fit the packet.
uint32_t IsInvalidUdpTcpChkSum(const uint8_t *ip);

// Reads addresses, protocol, fragment fields and ports of the packet at ip
// with buflen bytes into p (frame, linklen and port are the caller's).
// 0 done; 1 refused: a first fragment of UDP with under 8 or TCP with under
// 20 payload bytes, a UDP length beyond the IP payload or a TCP data offset
// below 5 or past the segment.
uint32_t IPParsePacket(IPPacket *p);

// Lowers the MSS option of a TCP SYN to what fits the adapter's MTU after
// the tunnel's headers; fixes the TCP checksum. The segment size the option
// then carries is returned (0: not a SYN with an MSS option).
uint32_t IPClampMss(IPPacket *p, uint32_t mtu);
}
