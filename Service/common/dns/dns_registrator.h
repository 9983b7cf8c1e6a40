#pragma once
// Dynamic DNS registration of the host: an A record for the host's short
// name in the zone of its Kerberos realm, sent by `nsupdate -g` with the
// host's key, to the zone's primary server found through the gateway's DNS
// servers; repeated every 15 minutes while the tunnel is up. No daemon path
// calls it yet: the entry points wait for a caller.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
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

// Up to 5 updates in a row; after one succeeds the periodic thread starts.
bool OnVpnConnected(const std::string& ip);
// Stops the periodic thread and empties the update-server lists; true.
bool OnVpnDisconnected();
// One registration of ip: true when a server accepted it.
bool UpdateDnsNow(const std::string& ip);
bool UpdateDnsNow();
// Reads the address of active_adapter_name into active_adapter_ip.
bool InitDnsState();
void StartPeriodicUpdate();
void StopPeriodicUpdate();

// The realm named by default_realm in the [libdefaults] section; empty when
// the file cannot be read or names none.
std::string read_default_realm_from_krb5_conf(const std::string& path);

// Source name of the registrator's log lines.
inline constexpr const char* kDnsRegistratorModule = "Service/common/DnsRegistrator";
