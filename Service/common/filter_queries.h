#pragma once
// The read-only requests: statistics, the gateway's configuration, texts
// the gateway supplied, firewall and gateway information, access level,
// the adapter dump, and the two unframed event-channel requests. A payload
// of the wrong size is a failure, never cut or padded.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

struct __attribute__((packed)) clientstatstype { uint8_t bytes[72]; };
static_assert(sizeof(clientstatstype) == 72);
struct __attribute__((packed)) veskinfotype { uint8_t bytes[8]; };
static_assert(sizeof(veskinfotype) == 8);
struct __attribute__((packed)) firewallinfotype {
  uint32_t sessions, tableMemory, throughputIn, throughputOut;
};
static_assert(sizeof(firewallinfotype) == 16);

// RQC_GETVESKCFG_OTHER's 324-byte gateway configuration.
struct __attribute__((packed)) veskcfgothertype {
  uint32_t allViaGateway;   // non-zero: all addresses and ports through the gateway
  uint32_t word4;
  uint32_t localFlags;      // CCLSF_*
  uint32_t tunnelIp;        // host order
  uint8_t mac[6];
  char sessionId[20];
  uint32_t gatewayIp;       // host order
  uint8_t byte46;
  char tunnelGroup[21];
  char domain[128];
  uint8_t rest[128];
};
static_assert(sizeof(veskcfgothertype) == 324, "the gateway configuration is 324 bytes");
static_assert(offsetof(veskcfgothertype, sessionId) == 22);
static_assert(offsetof(veskcfgothertype, gatewayIp) == 42);
static_assert(offsetof(veskcfgothertype, tunnelGroup) == 47);
static_assert(offsetof(veskcfgothertype, domain) == 68);
enum : uint32_t {
  CCLSF_BLOCKNOIPPACK = 1u << 0,
  CCLSF_BLOCKNOVPNIPPACK = 1u << 1,
  CCLSF_FLUSHDNS = 1u << 3,
  CCLSF_BLOCKNOVPNINTCPICMP = 1u << 4,
};

constexpr uint32_t VESKCFG_ROOM = 1536;
// The reply header of request 14 and up to 1536 bytes of configuration.
extern uint8_t VeskCfg[24 + VESKCFG_ROOM];

int32_t getStatistics(uint32_t a, uint32_t b, clientstatstype* out);  // 2
// 14 (and 15 when other is given): the configuration bytes in VeskCfg, or null.
const uint8_t* getVeskCfg(uint32_t* len, veskcfgothertype* other);
std::string getStatusJSON();                                           // 42; empty on failure
int32_t getDnsSuffixes(std::list<std::string>& list);                  // 41
int GetFirewallInfo(firewallinfotype* out);                            // 22; 0,1,2,3
int GetVESKInfo(veskinfotype* out);                                    // 27; 0,1,2,3
int32_t getAccessLevel(uint8_t* level, int* flag);                     // 33
int32_t getCountryCode(std::string& code);                             // 36
uint32_t get_event_code();                                             // 49; 0 none or failure
void EventReceiveConfirmation();                                       // 50
// 58 then 59: the dump into installDir/"debug.bin" (mode 0666). The dump
// length is capped at GETDEBUGINFO_MAX.
void getDebugInfo();
constexpr uint32_t GETDEBUGINFO_MAX = 65000;
