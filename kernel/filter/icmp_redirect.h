// The ICMP Redirect that the packet path hands the local stack when the
// port of a tunnelled packet has a redirect pending.
//
// The redirect answers in the destination's name and names the destination
// itself as the next hop: the local stack then takes the address as on its
// link, where the filter answers ARP for tunnelled addresses (the
// gateway's hardware address). It quotes the packet's IPv4 header and the
// first 8 bytes behind it.
#pragma once
#include "kernel/filter/ip_helpers.h"

constexpr uint8_t ICMP_TYPE_REDIRECT = 5;

// The ICMP header of a redirect.
struct __attribute__((packed, may_alias)) IcmpRedirectHead {
  uint8_t type;          // ICMP_TYPE_REDIRECT
  uint8_t code;          // the port's redirect code
  uint8_t checksum[2];   // over the ICMP message, big-endian
  uint8_t gateway[4];    // the next hop the local stack is to use
};
static_assert(sizeof(IcmpRedirectHead) == 8, "an ICMP redirect header is 8 bytes");

// The quoted bytes behind the packet's IPv4 header.
constexpr uint32_t ICMP_QUOTED_PAYLOAD = 8;

extern "C" {
// Queues the redirect for the packet p (sent by the local stack) on its
// adapter towards the local stack. 0 queued; 1 not (adapter not ready or
// no memory).
uint32_t SendIcmpRedirect(const IPPacket *p, uint8_t code);
}
