#include "kernel/filter/dns_inspection.h"

extern "C" {

uint32_t dns_update_servers[DNS_MAX_UPDATE_SERVERS];
uint32_t dns_update_server_count;

void DNS_InspectPacket(const IPPacket *) {}

uint32_t DNS_CheckPacket(const IPPacket *, uint32_t) { return 0; }

void DNS_SetUpdateServers(const uint8_t *addresses, uint32_t count) {
  if (count > DNS_MAX_UPDATE_SERVERS) count = DNS_MAX_UPDATE_SERVERS;
  memcpy(dns_update_servers, addresses, 4 * count);
  dns_update_server_count = count;
}

}  // extern "C"
