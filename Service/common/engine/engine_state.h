#pragma once
// The connection engine's process-wide state: the connect request's data,
// the handshake buffers between the filter and the gateway socket, the
// session key record, the authentication fields, the cancel flag and the
// locks of a connect attempt. Plain variables are written by the attempt
// under mtx_connecting_started and read by the socket's receive path and
// the event dispatcher.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The 1096-byte connection data of a connect request (little-endian).
struct __attribute__((packed)) ProfileConnectData {
  uint32_t profileId;          // -1 in the initial record
  uint32_t profileType;        // 0 certificate, 1 none
  uint8_t certId[32];          // compared with g_LastUsingCertUQ
  uint32_t gatewayIp;          // host order; 0 = none
  uint8_t authTypeExt;         // 0x83 selects the RADIUS JSON login
  char tunnelGroup[21];
  char certText[512];          // NUL-terminated
  uint8_t unused578[2];
  uint32_t auxFlag;
  uint8_t unused584[256];
  char radiusLoginJson[256];
};
static_assert(sizeof(ProfileConnectData) == 1096, "the connect request's data are 1096 bytes");
static_assert(offsetof(ProfileConnectData, gatewayIp) == 40);
static_assert(offsetof(ProfileConnectData, tunnelGroup) == 45);
static_assert(offsetof(ProfileConnectData, certText) == 66);
static_assert(offsetof(ProfileConnectData, auxFlag) == 580);
static_assert(offsetof(ProfileConnectData, radiusLoginJson) == 840);

constexpr uint8_t AUTH_TYPE_RADIUS_JSON = 0x83;

// The 84-byte session key record of RQC_SETKEYS.
struct __attribute__((packed)) SetConnectKeys {
  uint32_t zero0;
  uint32_t localIp;     // hostlocalipaddress
  uint32_t zero8;
  uint16_t localPort;   // the gateway socket's local UDP port
  uint8_t unused14[2];
  uint8_t keyBlock[64];
  uint32_t check;       // imitation over keyBlock, all-zero key
};
static_assert(sizeof(SetConnectKeys) == 84, "the session key record is 84 bytes");

// The send rules that go with Packet: header flag, gateway UDP port, 2000.
struct __attribute__((packed)) SendPacketRules {
  uint32_t flag;
  uint32_t port;
  uint32_t value;
};
static_assert(sizeof(SendPacketRules) == 12);

// Connection states the filter reports ("CS_NOINIT" .. "CS_CONNECT").
enum ConnState : uint32_t {
  CS_NOINIT = 0,
  CS_PCONNECTING = 1,
  CS_APP_SYNRQ = 2,
  CS_WAIT_SYNRR = 3,
  CS_APP_SYNOK = 4,
  CS_WAIT_SYNOKF = 5,
  CS_APP_KEYS = 6,
  CS_CONNECT = 7,
};
// "CS_NOINIT" .. "CS_CONNECT"; "?" above 7.
const char* ConnStateName(uint32_t state);

constexpr size_t ENGINE_PACKET_SIZE = 8192;

extern ProfileConnectData connect_data;       // profile id -1, rest zero at start
extern uint32_t filterState;                  // mirror of the filter's state
extern uint32_t filterStatePrev;              // state when the last attempt returned
extern int32_t treatReceivedPacket_Error;     // status of the last gateway datagram
extern uint8_t tbuff[ENGINE_PACKET_SIZE];     // gateway datagram, then the filter's reply
extern uint8_t Packet[ENGINE_PACKET_SIZE];    // SYN request (with header) or SYN OK
extern uint32_t packetLen;
extern SendPacketRules sendPacketRules;
extern SetConnectKeys setconnectkeys;
extern uint32_t hostlocalipaddress;           // local IPv4 of the gateway socket, host order
extern uint32_t g_current_trycounter;
extern uint32_t stage_timeout;                // seconds
extern uint8_t g_LastUsingCertUQ[32];
extern uint8_t auth_type_ext;
extern char radius_login[64];
extern char radius_password[64];
extern char radius_login_json[64];
extern uint8_t connectGost;                   // 1: 28147-89 imitation for the key check
extern std::atomic<bool> interrupt_connection;
extern uint32_t UseServiceAlternalVESKIP;     // tunnel goes to an alternative address
extern std::string VPN_IP;                    // dotted tunnel address once connected
extern uint8_t RULES[32];                     // local rules header
extern uint8_t ATABLE[3080];                  // local rules address table
// The connect data of the attempt whose stages the filter holds: its init
// record, auxiliary data, tunnel group and SYN request were made from them.
// A later attempt resumes at the filter's state only with the same data.
extern ProfileConnectData attempt_connect_data;
// True while a connect attempt runs (client command 1 reports it).
extern std::atomic<bool> connect_attempt_running;
// Whose the settings that clients set for the next tunnel are (the service
// core's tunnel_settings.h keeps it, under its own lock).
struct TunnelSettingsOwner {
  std::string user;      // empty: nobody's, the start-up values
  unsigned changed = 0;  // the kinds of setting that user changed
  bool attempt = false;  // a connect attempt of that user runs
};
extern TunnelSettingsOwner tunnel_settings_owner;

// Held for a whole connect attempt; the dispatcher's state events wait on it.
extern std::mutex mtx_connecting_started;
// One connect or disconnect request at a time (the service core's); the
// dispatcher's reconnect cases only try it.
extern std::mutex mtx_connecting_vesk;
// The state last announced to the clients with message 50.
extern std::atomic<uint32_t> g_notified_filterState;

// Back to the start-up values (tests and the service core's reset).
void EngineState_Reset();
