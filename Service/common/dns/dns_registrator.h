#pragma once
// Dynamic DNS registration of the host: an A record for the host's short
// name in the zone of its Kerberos realm, sent by `nsupdate -g` with the
// host's key, to the zone's primary server found through the gateway's DNS
// servers; repeated every 15 minutes while the tunnel is up. No daemon path
// calls it yet: the entry points wait for a caller. The hooks and the values
// it works with are in dns_registration_state.h.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Service/common/dns/dns_registration_state.h"

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
