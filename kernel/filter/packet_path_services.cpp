// The packet-path services until the firewall, tunnel control, local rules
// and DNS inspection exist: no firewall session is ever made, so there is
// nothing to remove or report; no out-of-band message can be sent; no local
// rules block can be read or loaded. Settings are kept for their future
// readers.
#include "kernel/filter/packet_path_services.h"

namespace {
uint8_t firewall_params[28];
uint8_t local_rules_flags;
uint32_t dns_update_servers[64];
uint32_t dns_update_server_count;
}  // namespace

extern "C" {

uint32_t FIREWALL_RemoveAllSessions(uint32_t) { return 0; }
uint32_t FIREWALL_RejectAllTcpVpnSessionsOnDisconnect(void) { return 0; }
void FIREWALL_GetInformation(uint32_t out[4]) { memset(out, 0, 4 * sizeof(uint32_t)); }
void FIREWALL_SetFirewallParams(const uint8_t *params) {
  memcpy(firewall_params, params, sizeof firewall_params);
}
int32_t GuardSendOOBData(uint32_t, const uint8_t *, int32_t) { return -1; }
uint32_t LCFGGetBlock(uint8_t *) { return 0; }
uint32_t LCFGSetBlock(uint8_t *, uint32_t) { return 0; }
uint8_t LCFGGetFlags(void) { return local_rules_flags; }
void LCFGSetFlag(uint8_t flag, bool on) {
  local_rules_flags = on ? (uint8_t)(local_rules_flags | flag) : (uint8_t)(local_rules_flags & ~flag);
}
void DNS_SetUpdateServers(const uint8_t *addresses, uint32_t count) {
  if (count > 64) count = 64;
  memcpy(dns_update_servers, addresses, 4 * count);
  dns_update_server_count = count;
}

}  // extern "C"
