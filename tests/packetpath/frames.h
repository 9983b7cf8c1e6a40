// Frames for the packet-path tests: Ethernet, IPv4, UDP, TCP and ICMP built
// with correct checksums, and readers of the fields the tests look at.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_order.h"

namespace pp {

using Bytes = std::vector<uint8_t>;

// 203.0.113.2 (client), 203.0.113.1 (gateway), 198.51.100.10 (behind it).
constexpr uint32_t kClientIp = 0xCB007102u, kGatewayIp = 0xCB007101u, kCorpIp = 0xC633640Au;
extern const uint8_t kClientMac[6];
extern const uint8_t kGatewayMac[6];

uint16_t InetSum(const uint8_t *p, size_t n, uint32_t sum = 0);
bool IpChecksumOk(const uint8_t *ip);
bool TransportChecksumOk(const uint8_t *ip);

struct Ip {
  uint32_t src = kClientIp, dst = kCorpIp;
  uint8_t proto = 17, ttl = 64, tos = 0;
  uint16_t id = 0x1234;
  uint16_t frag = 0;  // flags and offset field
};
// An IPv4 packet around a transport payload (its checksum filled in for
// UDP and TCP).
Bytes Ipv4(const Ip &h, const Bytes &transport);
Bytes Udp(uint16_t sport, uint16_t dport, const Bytes &payload);
struct Tcp {
  uint16_t sport = 40001, dport = 7;
  uint32_t seq = 1000, ack = 0;
  uint8_t flags = 0x02;
  Bytes options;
  Bytes payload;
};
Bytes TcpSegment(const Tcp &t);
Bytes IcmpEcho(uint16_t id, uint16_t seq, const Bytes &payload);
Bytes Ether(const uint8_t dst[6], const uint8_t src[6], uint16_t type, const Bytes &body);
// Ethernet frame of an IPv4 packet from the local stack / from the network.
Bytes FromClient(const Ip &h, const Bytes &transport);
Bytes FromGateway(const Ip &h, const Bytes &transport);
// Fixes IPv4 and transport checksums after a change.
void Reseal(uint8_t *ip);

}  // namespace pp
