// What the tunnel client and the request dispatcher call of the packet-path
// side of the filter (firewall, tunnel control, local rules, DNS inspection)
// beyond what packet_path.h declares.
#pragma once
#include "kern_host.h"

extern "C" {

// Firewall: removes the sessions of the tunnel flag (2 = all); 1 when disabled.
uint32_t FIREWALL_RemoveAllSessions(uint32_t tunnel_flag);
// Resets and removes every tunnelled TCP session (request 11 in state 7).
uint32_t FIREWALL_RejectAllTcpVpnSessionsOnDisconnect(void);
// Session count, table memory, all-traffic and tunnelled-traffic rates.
void FIREWALL_GetInformation(uint32_t out[4]);
// The four TCP time-outs of the 28-byte filter parameters.
void FIREWALL_SetFirewallParams(const uint8_t *params);
// Tunnel control: one out-of-band message; 0 sent, negative refused.
int32_t GuardSendOOBData(uint32_t code, const uint8_t *data, int32_t n);
// Local rules: one block out or in; the reply payload length, 0 on failure.
uint32_t LCFGGetBlock(uint8_t *payload);
uint32_t LCFGSetBlock(uint8_t *payload, uint32_t n);
// The local rules' flags byte (byte 4 of clilcfg).
uint8_t LCFGGetFlags(void);
void LCFGSetFlag(uint8_t flag, bool on);
// DNS inspection: the servers whose update traffic passes.
void DNS_SetUpdateServers(const uint8_t *addresses, uint32_t count);
}
