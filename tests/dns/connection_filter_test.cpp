// Which NetworkManager connections get the gateway's suffixes, and how a
// setting's search list is read.
#include <gtest/gtest.h>

#include "Service/common/dns/nm_connection_steps.h"

namespace {

struct ConnectionSetting {
  explicit ConnectionSetting(const char* type) : setting(NM_SETTING_CONNECTION(nm_setting_connection_new())) {
    if (type != nullptr) g_object_set(setting, NM_SETTING_CONNECTION_TYPE, type, nullptr);
  }
  ~ConnectionSetting() { g_object_unref(setting); }
  NMSettingConnection* setting;
};

TEST(ShouldProcessConnection, ExcludesVirtualTypesAndNamePrefixes) {
  struct Case {
    const char* type;
    const char* name;
    bool process;
  } cases[] = {
      {"802-3-ethernet", "Wired 1", true},  {"802-3-ethernet", "docker-lan", false},
      {"802-3-ethernet", "my-docker", true}, {"802-3-ethernet", "lo", false},
      {"802-3-ethernet", "lo2", true},       {"802-3-ethernet", "veth0", false},
      {"802-3-ethernet", "virbr0-nic", false}, {"802-3-ethernet", "br-5f2", false},
      {"802-3-ethernet", "Veth0", true},     {"802-3-ethernet", nullptr, true},
      {"wireguard", "office", false},        {"WireGuard", "office", true},
      {"loopback", "x", false},              {"bridge", "x", false},
      {"vpn", "x", false},                   {"bond", "x", false},
      {"team", "x", false},                  {"vlan", "x", false},
      {"tun", "x", false},                   {"macvlan", "x", false},
      {"802-11-wireless", "Cafe", true},     {nullptr, "Wired 1", false},
  };
  for (const Case& c : cases) {
    ConnectionSetting s(c.type);
    EXPECT_EQ(should_process_connection(s.setting, c.name), c.process)
        << (c.type ? c.type : "(null)") << " / " << (c.name ? c.name : "(null)");
  }
  EXPECT_FALSE(should_process_connection(nullptr, "Wired 1"));
}

TEST(GetCurrentSuffixes, KeepsOrderAndIsEmptyWithoutSetting) {
  NMSettingIPConfig* ip4 = NM_SETTING_IP_CONFIG(nm_setting_ip4_config_new());
  nm_setting_ip_config_add_dns_search(ip4, "b.example");
  nm_setting_ip_config_add_dns_search(ip4, "a.example");
  EXPECT_EQ(get_current_suffixes(ip4), (SuffixList{"b.example", "a.example"}));
  g_object_unref(ip4);
  EXPECT_TRUE(get_current_suffixes(nullptr).empty());
}

TEST(ActiveConnectionState, NamesEveryState) {
  EXPECT_STREQ(active_connection_state_to_string(NM_ACTIVE_CONNECTION_STATE_UNKNOWN), "unknown");
  EXPECT_STREQ(active_connection_state_to_string(NM_ACTIVE_CONNECTION_STATE_ACTIVATING), "activating");
  EXPECT_STREQ(active_connection_state_to_string(NM_ACTIVE_CONNECTION_STATE_ACTIVATED), "activated");
  EXPECT_STREQ(active_connection_state_to_string(NM_ACTIVE_CONNECTION_STATE_DEACTIVATING), "deactivating");
  EXPECT_STREQ(active_connection_state_to_string(NM_ACTIVE_CONNECTION_STATE_DEACTIVATED), "deactivated");
  EXPECT_STREQ(active_connection_state_to_string(static_cast<NMActiveConnectionState>(9)), "invalid-state");
  EXPECT_EQ(get_active_connection_state(nullptr, "x"), NM_ACTIVE_CONNECTION_STATE_UNKNOWN);
  EXPECT_EQ(get_device_interface_for_connection(nullptr, "x"), "");
}

}  // namespace
