#include "Service/common/engine/engine_state.h"

#include <cstring>

namespace {

ProfileConnectData initialConnectData() {
  ProfileConnectData d;
  std::memset(&d, 0, sizeof d);
  d.profileId = 0xFFFFFFFFu;
  return d;
}

}  // namespace

ProfileConnectData connect_data = initialConnectData();
uint32_t filterState = 0;
uint32_t filterStatePrev = 0;
int32_t treatReceivedPacket_Error = 0;
uint8_t tbuff[ENGINE_PACKET_SIZE];
uint8_t Packet[ENGINE_PACKET_SIZE];
uint32_t packetLen = 0;
SendPacketRules sendPacketRules{};
SetConnectKeys setconnectkeys{};
uint32_t hostlocalipaddress = 0;
uint32_t g_current_trycounter = 0;
uint32_t stage_timeout = 0;
uint8_t g_LastUsingCertUQ[32];
uint8_t auth_type_ext = 0;
char radius_login[64];
char radius_password[64];
char radius_login_json[64];
uint8_t connectGost = 0;
std::atomic<bool> interrupt_connection{false};
uint32_t UseServiceAlternalVESKIP = 0;
std::string VPN_IP;
uint8_t RULES[32];
uint8_t ATABLE[3080];
ProfileConnectData attempt_connect_data = initialConnectData();
std::atomic<bool> connect_attempt_running{false};
TunnelSettingsOwner tunnel_settings_owner;
std::mutex mtx_connecting_started;
std::mutex mtx_connecting_vesk;
std::atomic<uint32_t> g_notified_filterState{0};

const char* ConnStateName(uint32_t state) {
  static const char* const names[] = {"CS_NOINIT",    "CS_PCONNECTING", "CS_APP_SYNRQ",
                                      "CS_WAIT_SYNRR", "CS_APP_SYNOK",   "CS_WAIT_SYNOKF",
                                      "CS_APP_KEYS",  "CS_CONNECT"};
  return state < 8 ? names[state] : "?";
}

void EngineState_Reset() {
  connect_data = initialConnectData();
  filterState = filterStatePrev = 0;
  treatReceivedPacket_Error = 0;
  std::memset(tbuff, 0, sizeof tbuff);
  std::memset(Packet, 0, sizeof Packet);
  packetLen = 0;
  sendPacketRules = SendPacketRules{};
  setconnectkeys = SetConnectKeys{};
  hostlocalipaddress = g_current_trycounter = stage_timeout = 0;
  std::memset(g_LastUsingCertUQ, 0, sizeof g_LastUsingCertUQ);
  auth_type_ext = 0;
  std::memset(radius_login, 0, sizeof radius_login);
  std::memset(radius_password, 0, sizeof radius_password);
  std::memset(radius_login_json, 0, sizeof radius_login_json);
  connectGost = 0;
  interrupt_connection = false;
  UseServiceAlternalVESKIP = 0;
  VPN_IP.clear();
  std::memset(RULES, 0, sizeof RULES);
  std::memset(ATABLE, 0, sizeof ATABLE);
  attempt_connect_data = initialConnectData();
  connect_attempt_running = false;
  tunnel_settings_owner = TunnelSettingsOwner{};
  g_notified_filterState = 0;
}
