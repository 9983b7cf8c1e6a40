#pragma once
// The requests that configure the filter and open a connect attempt: the
// filter parameters, the information poll, the event port, the connection
// configuration and init record, the auxiliary record, tunnel group and
// extended authentication type; plus the "ConnStatus" registry mirror.
#include <cstddef>
#include <cstdint>

#include "cross/common/profile_cfgtype.h"

// RQC_GETINFO's 88-byte filter information.
struct __attribute__((packed)) DrvInfo {
  uint32_t zero0;
  uint32_t keyChangeError;   // the last key-change error
  uint32_t zero8;
  uint32_t connectTime;      // DOS date-time of the connect
  uint32_t sessionTime;      // DOS date-time of the last session change
  uint32_t adapters;
  char build[32];
  char version[32];
};
static_assert(sizeof(DrvInfo) == 88, "the filter information is 88 bytes");

// RQC_INIT's 692-byte connection init record; unnamed bytes are zero.
struct __attribute__((packed)) FilterInitRecord {
  cfgtype cfg;
  uint8_t reserved128[136];
  uint32_t protocolMagic;    // FILTER_INIT_MAGIC
  uint8_t reserved268[22];
  uint8_t flag;              // 1
  uint8_t reserved291;
  char radiusLogin[64];
  char radiusPassword[64];
  char hostName[128];
  uint8_t reserved548[16];
  char domainName[128];
};
static_assert(sizeof(FilterInitRecord) == 692, "the init record is 692 bytes");
static_assert(offsetof(FilterInitRecord, protocolMagic) == 264);
static_assert(offsetof(FilterInitRecord, radiusLogin) == 292);
static_assert(offsetof(FilterInitRecord, hostName) == 420);
static_assert(offsetof(FilterInitRecord, domainName) == 564);
constexpr uint32_t FILTER_INIT_MAGIC = 0xb0ca0010;

// RQC_SETAUXINFO's 172-byte auxiliary record.
struct __attribute__((packed)) AuxInfoRecord {
  uint32_t version;          // 2
  uint32_t flags;            // AUX_FLAG_NO_CERT for profiles of type 1
  char identifier[32];       // "AAAAAA"
  char firmware[32];         // "no_firmware"
  char moduleVersion[32];    // "1.30.3011"
  char daemonVersion[32];    // getVrStr(), 31 characters at most
  uint8_t machineId[32];     // UUID_DATA, with AUX_FLAG_NO_CERT only
  uint32_t kind;             // 2 when connect_data's aux flag is set, else 1; likewise
};
static_assert(sizeof(AuxInfoRecord) == 172, "the auxiliary record is 172 bytes");
constexpr uint32_t AUX_FLAG_NO_CERT = 16;

// RQC_SETFILTERPARAMS's 28 bytes, each a registry value (missing: 0).
// Every user may write the registry, so each value is taken only inside
// what makes sense (minutes for the time-outs; the filter keeps its own
// value for a 0):
//   TCPSessionFINTimeout 1-120, TCPSessionRSTTimeout 1-60,
//   TCPSessionSYNTimeout 1-45, TCPSessionIDLETimeout 1-1440 (a day),
//   IPHDRIphTos 0-255, IPHDRIphTtl 32-255 (a path to the gateway may be
//   some 30 hops long: a lower TTL could cut the tunnel off).
struct __attribute__((packed)) FilterParams {
  uint32_t finTimeout, rstTimeout, synTimeout, idleTimeout;
  uint32_t zero16;
  uint32_t tos, ttl;
};
static_assert(sizeof(FilterParams) == 28);

extern DrvInfo drvInfo;            // zeroed before each poll
extern uint32_t old_status;        // last "ConnStatus" written
extern char versionText[32];

// A cfgtype for connect_data's gateway, sealed.
cfgtype MakeConnectionCfg();
// The init record as filterInit sends it (host and domain names filled).
void BuildFilterInitRecord(FilterInitRecord& rec);

// The registry's values as above; one outside its bounds is sent as 0 and logged.
FilterParams filterParamsOfRegistry();
void setFilterParams();                        // 23; failures logged
int getFilterInfo();                           // 0; 1 when drvInfo was filled
int SetServicePID(uint32_t pid);               // 51; 1 on success
void getConfig();                              // 1; filterState, connectGost
int32_t filterInit();                          // 3
int32_t setAuxInfo();                          // 25; -1 for -1001
int32_t setTunnelGroup(const char* name);      // 35; -2 for -1001
int32_t setAuthTypeExt(uint8_t type);          // 39; -2 for -1001
int32_t setSynProtoVersion(uint32_t version);  // 34; -2 for -1001
void resetFilterState();                       // filterState := 0
int GetInfoFromRegistry(int mode);             // mode 0 fills versionText; 1
int SetStatusToRegistry(uint32_t value);       // "ConnStatus" when it changed
