#pragma once
// What the DNS registration's modules share (the registrator, the look-up
// of the update servers, the nsupdate exchange): the hooks the connection
// engine installs, the values of the running registration, and the source
// name of their log lines.
#include <cstdint>
#include <string>
#include <vector>

// What the registrator takes from the connection engine; installed by it.
// Until then there is no gateway configuration and the filter is not told.
struct DnsRegistratorHooks {
  // The gateway's dynamic configuration payload (owned by the engine) and its
  // length, or null when the filter did not give it; other is unused (null).
  const uint8_t* (*getVeskCfg)(uint32_t* size, void* other);
  // Tells the filter which servers take DNS updates (host byte order); 0 ok.
  int (*SetDnsUpdateServers)(const std::vector<uint32_t>& servers);
};
// Installs hooks (a null member keeps the standing one).
void SetDnsRegistratorHooks(const DnsRegistratorHooks& hooks);
DnsRegistratorHooks DnsRegistratorCurrentHooks();

// Interface the tunnel is bound to (written by the adapter binding).
extern std::string active_adapter_name;
// Address of that interface, read by InitDnsState.
extern std::string active_adapter_ip;
// Address of the last accepted update; the periodic thread registers it again.
extern std::string last_updated_ip;
// Realm in upper case, and in lower case as the zone that takes the update.
extern std::string kerberos_realm;
extern std::string dns_update_zone;
// Dotted IPv4 texts of the zone's update servers.
extern std::vector<std::string> dns_update_server_ips;

// Source name of the registrator's log lines.
inline constexpr const char* kDnsRegistratorModule = "Service/common/DnsRegistrator";
