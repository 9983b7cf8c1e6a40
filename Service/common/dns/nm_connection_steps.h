#pragma once
// The libnm steps behind nm_suffixes.h, for its implementation and its tests.
#include <NetworkManager.h>

#include <string>

#include "Service/common/dns/nm_suffixes.h"

// True when the connection is one whose search list is changed: not "lo",
// not named veth*, virbr*, docker*, br-*, and not of a virtual type
// (loopback, bridge, vpn, bond, team, vlan, tun, macvlan, wireguard).
bool should_process_connection(NMSettingConnection* setting, const char* name);

// The setting's DNS search entries in index order; empty for a null setting.
SuffixList get_current_suffixes(NMSettingIPConfig* setting);

// Reapplies the profile with this id on its device when it is activating or
// activated: 0 reapplied or nothing to reapply, 1 failed.
int restart_connection_libnm_reapply(NMClient* client, const std::string& id);

// State of the first active connection whose profile has this id; 0 when none.
NMActiveConnectionState get_active_connection_state(NMClient* client, const std::string& id);

// Interface of the first device of the first active connection with this id
// that has a device; empty when none.
std::string get_device_interface_for_connection(NMClient* client, const std::string& id);

// "unknown", "activating", "activated", "deactivating", "deactivated",
// anything else "invalid-state".
const char* active_connection_state_to_string(NMActiveConnectionState state);
