// DNS inspection on the packet path. The filter keeps the servers to which
// dynamic DNS updates may pass (request 46); no rule of this build refuses
// a DNS packet, so the check passes every packet.
#pragma once
#include "kern_host.h"

struct IPPacket;

constexpr uint32_t DNS_MAX_UPDATE_SERVERS = 64;

extern "C" {
extern uint32_t dns_update_servers[DNS_MAX_UPDATE_SERVERS];
extern uint32_t dns_update_server_count;

// Sees every IPv4 packet.
void DNS_InspectPacket(const IPPacket *p);
// Non-zero refuses the packet; outgoing 1 for the local stack's packets.
uint32_t DNS_CheckPacket(const IPPacket *p, uint32_t outgoing);
// Keeps the first 64 of count u32 addresses.
void DNS_SetUpdateServers(const uint8_t *addresses, uint32_t count);
}
