#pragma once
// The read-only requests: statistics, the gateway's configuration, texts
// the gateway supplied, firewall and gateway information, access level,
// the adapter dump, and the two unframed event-channel requests. A payload
// of the wrong size is a failure, never cut or padded.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "kernel/include/drv_payloads.h"

struct __attribute__((packed)) clientstatstype { uint8_t bytes[72]; };
static_assert(sizeof(clientstatstype) == 72);
struct __attribute__((packed)) veskinfotype { uint8_t bytes[8]; };
static_assert(sizeof(veskinfotype) == 8);
struct __attribute__((packed)) firewallinfotype {
  uint32_t sessions, tableMemory, throughputIn, throughputOut;
};
static_assert(sizeof(firewallinfotype) == 16);

// RQC_GETVESKCFG_OTHER's 324-byte gateway configuration: the filter's own
// record, so that the daemon reads each field where the filter writes it.
// What the daemon takes from it: all_through_gateway (client command 5, the
// connection flags), local_flags (CCLSF_*), tunnel_addr (VPN_IP),
// adapter_mac, gateway_addr, tunnel_group and domain_name (status.json).
// The filter carries no session identifier text: the session identifier is
// its u32 session_id, which status.json gives as decimal text.
using veskcfgothertype = DrvVeskCfgOther;
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
int32_t getDnsSuffixes(std::list<std::string>& list);                  // 41; the DNS names (dns_names.h)
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
