#include "Service/common/engine/filter_setup.h"

#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "cross/utils/machine_id.h"
#include "cross/utils/registry.h"
#include "cross/utils/version.h"

DrvInfo drvInfo{};
uint32_t old_status = 0;
char versionText[32];

namespace {

constexpr uint32_t CONFIG_REPLY_SIZE = 272;
constexpr uint32_t CONFIG_GOST_FLAG_AT = 268;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text.c_str());
}

// A registry value for the filter and the values it may take.
struct FilterSetting {
  const char* name;
  uint32_t least, most;
};

uint32_t registryValue(const FilterSetting& setting) {
  int v = 0;
  if (!Registry_RegGetValueInt(installDir, setting.name, &v) || v == 0) return 0;
  uint32_t value = static_cast<uint32_t>(v);
  if (value >= setting.least && value <= setting.most) return value;
  logLine(__LINE__, "setFilterParams",
          std::string("registry value ") + setting.name + " = " + std::to_string(value) + " outside " +
              std::to_string(setting.least) + "-" + std::to_string(setting.most) + ", not used");
  return 0;
}

// Copies at most max characters of text into a zero-filled field.
void putText(char* field, size_t fieldSize, const char* text) {
  size_t n = std::strlen(text);
  if (n > fieldSize - 1) n = fieldSize - 1;
  std::memcpy(field, text, n);
}

void fillHostAndDomain(FilterInitRecord& rec) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) {
    logLine(__LINE__, "filterInit", "Get hostname for MacOS failed");
    return;
  }
  putText(rec.hostName, sizeof rec.hostName, host);
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* info = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &info) != 0 || info == nullptr) {
    logLine(__LINE__, "filterInit", "Get domain name failed");
    return;
  }
  const char* dot = info->ai_canonname ? std::strchr(info->ai_canonname, '.') : nullptr;
  if (dot == nullptr)
    logLine(__LINE__, "filterInit", "No domain available");
  else
    putText(rec.domainName, sizeof rec.domainName, dot + 1);
  freeaddrinfo(info);
}

}  // namespace

cfgtype MakeConnectionCfg() {
  cfgtype c;
  std::memset(&c, 0, sizeof c);
  c.ch_cfgver = CFG_RECORD_VERSION;
  c.ch_flags = 1;
  c.ch_veskipaddr = connect_data.gatewayIp;
  SealCfgRecord(&c);
  return c;
}

void BuildFilterInitRecord(FilterInitRecord& rec) {
  std::memset(&rec, 0, sizeof rec);
  rec.cfg = MakeConnectionCfg();
  rec.protocolMagic = FILTER_INIT_MAGIC;
  rec.flag = 1;
  if (radius_login[0] != '\0') {
    std::memcpy(radius_login_json, radius_login, sizeof radius_login_json);
    if (radius_password[0] != '\0') {
      std::memcpy(rec.radiusLogin, radius_login, sizeof rec.radiusLogin);
      std::memcpy(rec.radiusPassword, radius_password, sizeof rec.radiusPassword);
      DRV_Wipe(radius_login, sizeof radius_login);
      DRV_Wipe(radius_password, sizeof radius_password);
    }
  } else {
    std::memset(radius_login_json, 0, sizeof radius_login_json);
  }
  fillHostAndDomain(rec);
  rec.hostName[sizeof rec.hostName - 1] = '\0';
  rec.domainName[sizeof rec.domainName - 1] = '\0';
}

FilterParams filterParamsOfRegistry() {
  FilterParams p{};
  p.finTimeout = registryValue({"TCPSessionFINTimeout", 1, 120});
  p.rstTimeout = registryValue({"TCPSessionRSTTimeout", 1, 60});
  p.synTimeout = registryValue({"TCPSessionSYNTimeout", 1, 45});
  p.idleTimeout = registryValue({"TCPSessionIDLETimeout", 1, 1440});
  p.tos = registryValue({"IPHDRIphTos", 0, 255});
  p.ttl = registryValue({"IPHDRIphTtl", 32, 255});
  return p;
}

void setFilterParams() {
  FilterParams p = filterParamsOfRegistry();
  DrvReply reply;
  int32_t r = DRV_Request(RQC_SETFILTERPARAMS, &p, sizeof p, sizeof p, reply);
  if (r != 0) logLine(__LINE__, "setFilterParams", "setFilterParams: driver error " + std::to_string(r));
}

int getFilterInfo() {
  std::memset(&drvInfo, 0, sizeof drvInfo);
  DrvReply reply;
  DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply);
  if (reply.payload.size() != sizeof drvInfo) return 0;
  filterState = reply.header.state;
  std::memcpy(&drvInfo, reply.payload.data(), sizeof drvInfo);
  SetStatusToRegistry(filterState == CS_CONNECT);
  return 1;
}

int SetServicePID(uint32_t pid) {
  uint8_t buf[DRV_PREFIX_ROOM + 4];
  std::memcpy(buf + DRV_PREFIX_ROOM, &pid, 4);
  return SendIRP(IOCTL_SETPID, buf + DRV_PREFIX_ROOM, 4, nullptr) == 0 ? 1 : 0;
}

void getConfig() {
  uint8_t record[CONFIG_REPLY_SIZE] = {};
  cfgtype c = MakeConnectionCfg();
  std::memcpy(record, &c, sizeof c);
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETCFGCON, record, sizeof record, 0, reply);
  if (r != 0 && r != DRV_REPLY_BAD_MAGIC && r != DRV_REPLY_MALFORMED && r != reply.header.status) return;
  if (reply.header.magic != DRV_REQUEST_MAGIC || reply.payload.size() != CONFIG_REPLY_SIZE) return;
  filterState = reply.header.state;
  connectGost = reply.payload[CONFIG_GOST_FLAG_AT];
}

int32_t filterInit() {
  FilterInitRecord rec;
  BuildFilterInitRecord(rec);
  logLine(__LINE__, "filterInit", std::string("HOSTNAME: ") + rec.hostName);
  logLine(__LINE__, "filterInit", std::string("DOMAIN NAME: ") + rec.domainName);
  DrvReply reply;
  int32_t r = DRV_Request(RQC_INIT, &rec, sizeof rec, sizeof rec, reply);
  DRV_Wipe(&rec, sizeof rec);
  DRV_Wipe(reply.payload.data(), reply.payload.size());
  if (r == 0) {
    filterState = reply.header.state;
    SetStatusToRegistry(filterState == CS_CONNECT);
  }
  return r;
}

int32_t setAuxInfo() {
  logLine(__LINE__, "setAuxInfo", "Set UX info to Filter ->");
  AuxInfoRecord rec;
  std::memset(&rec, 0, sizeof rec);
  rec.version = 2;
  GetUUID();
  logLine(__LINE__, "setAuxInfo", "Prepare to fill data |-|");
  putText(rec.identifier, sizeof rec.identifier, "AAAAAA");
  putText(rec.firmware, sizeof rec.firmware, "no_firmware");
  putText(rec.moduleVersion, sizeof rec.moduleVersion, "1.30.3011");
  putText(rec.daemonVersion, sizeof rec.daemonVersion, getVrStr());
  if (connect_data.profileType == 1) {
    rec.flags |= AUX_FLAG_NO_CERT;
    std::memcpy(rec.machineId, UUID_DATA, sizeof rec.machineId);
    rec.kind = connect_data.auxFlag != 0 ? 2 : 1;
  }
  logLine(__LINE__, "setAuxInfo", "Fill data OK. Send to Filter --> (!)");
  DrvReply reply;
  int32_t r = DRV_Request(RQC_SETAUXINFO, &rec, sizeof rec, sizeof rec, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r == 0) logLine(__LINE__, "setAuxInfo", "Set UX info to Filter FINISHED!");
  return r;
}

namespace {

// A small request whose -1001 is reported as -2.
int32_t smallRequest(int code, const void* data, uint32_t len, bool takeState) {
  DrvReply reply;
  int32_t r = DRV_Request(code, data, len, len, reply);
  if (r == 0 && takeState) filterState = reply.header.state;
  return r == DRV_REPLY_BAD_MAGIC ? -2 : r;
}

}  // namespace

int32_t setTunnelGroup(const char* name) {
  char field[21] = {};
  if (name) putText(field, sizeof field, name);
  return smallRequest(RQC_SETTUNNELGROUP, field, sizeof field, false);
}

int32_t setAuthTypeExt(uint8_t type) { return smallRequest(RQC_SETAUTHTYPEEXT, &type, 1, false); }

int32_t setSynProtoVersion(uint32_t version) {
  return smallRequest(RQC_SETSYNVERSION, &version, sizeof version, true);
}

void resetFilterState() { filterState = 0; }

int GetInfoFromRegistry(int mode) {
  if (mode == 0) {
    std::memset(versionText, 0, sizeof versionText);
    putText(versionText, sizeof versionText, "1.18.3011");
  }
  return 1;
}

int SetStatusToRegistry(uint32_t value) {
  if (value == old_status) return 1;
  old_status = value;
  return Registry_RegSetValueLongIntHex(installDir, "ConnStatus", static_cast<long>(value));
}
