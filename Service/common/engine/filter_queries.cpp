#include "Service/common/engine/filter_queries.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "Service/common/dns/dns_names.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"

uint8_t VeskCfg[24 + VESKCFG_ROOM];

namespace {

constexpr uint32_t JSON_ROOM = DRV_MAX_PAYLOAD;

// The rule of GetFirewallInfo and GetVESKInfo: 1 channel or entry failure,
// 2 wrong magic, 3 wrong size.
int fixedRecord(int code, void* out, size_t size) {
  DrvReply reply;
  int32_t r = DRV_Request(code, nullptr, 0, 0, reply);
  if (r != 0 && r != DRV_REPLY_BAD_MAGIC && r != DRV_REPLY_MALFORMED && r != reply.header.status) return 1;
  if (reply.header.magic != DRV_REQUEST_MAGIC) return 2;
  if (reply.payload.size() != size) return 3;
  std::memcpy(out, reply.payload.data(), size);
  return 0;
}

}  // namespace

int32_t getStatistics(uint32_t a, uint32_t b, clientstatstype* out) {
  uint32_t args[2] = {a, b};
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETSTAT, args, sizeof args, sizeof args, reply);
  if (r != 0) return r;
  if (reply.payload.size() != sizeof *out) return DRV_REPLY_MALFORMED;
  filterState = reply.header.state;
  std::memcpy(out, reply.payload.data(), sizeof *out);
  return 0;
}

const uint8_t* getVeskCfg(uint32_t* len, veskcfgothertype* other) {
  std::memset(VeskCfg, 0, sizeof VeskCfg);
  if (len) *len = 0;
  DrvReply reply;
  if (DRV_Request(RQC_GETVESKCFG, nullptr, 0, VESKCFG_ROOM, reply) != 0) return nullptr;
  size_t n = reply.payload.size() < VESKCFG_ROOM ? reply.payload.size() : VESKCFG_ROOM;
  std::memcpy(VeskCfg, &reply.header, sizeof reply.header);
  if (n) std::memcpy(VeskCfg + sizeof reply.header, reply.payload.data(), n);
  if (len) *len = static_cast<uint32_t>(n);
  if (other) {
    DrvReply more;
    if (DRV_Request(RQC_GETVESKCFG_OTHER, nullptr, 0, DRV_MAX_PAYLOAD, more) != 0) return nullptr;
    if (more.payload.size() != sizeof *other) return nullptr;
    std::memcpy(other, more.payload.data(), sizeof *other);
  }
  return VeskCfg + sizeof(DrvRequestHeader);
}

std::string getStatusJSON() {
  DrvReply reply;
  if (DRV_Request(RQC_GETSTATUS_JSON, nullptr, 0, JSON_ROOM, reply) != 0 || reply.payload.empty()) return {};
  const char* text = reinterpret_cast<const char*>(reply.payload.data());
  return std::string(text, strnlen(text, reply.payload.size()));
}

int32_t getDnsSuffixes(std::list<std::string>& list) {
  list.clear();
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETDNS_SUFFIX, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.empty()) return -2;
  list = SearchNamesOfText(std::string(reply.payload.begin(), reply.payload.end()));
  return 0;
}

int GetFirewallInfo(firewallinfotype* out) { return fixedRecord(RQC_GETFIREWALLINFO, out, sizeof *out); }

int GetVESKInfo(veskinfotype* out) { return fixedRecord(RQC_GETVESKINFO, out, sizeof *out); }

int32_t getAccessLevel(uint8_t* level, int* flag) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETACCESSLEVEL, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.size() != 5) return DRV_REPLY_MALFORMED;
  *level = reply.payload[0];
  std::memcpy(flag, reply.payload.data() + 1, 4);
  return 0;
}

int32_t getCountryCode(std::string& code) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETCOUNTRY_CODE, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.empty()) return -2;
  code.assign(reply.payload.begin(), reply.payload.end());
  return 0;
}

uint32_t get_event_code() {
  // The reply: the answer word over the prefix, then the code.
  uint8_t buf[DRV_PREFIX_ROOM + 4] = {};
  uint8_t* data = buf + DRV_PREFIX_ROOM;
  uint32_t got = 0;
  if (SendIRP(IOCTL_GETCODE, data, 4, &got) != 0 || got < 4) return 0;
  uint32_t code;
  std::memcpy(&code, data, 4);
  return code;
}

void EventReceiveConfirmation() {
  uint8_t buf[DRV_PREFIX_ROOM + 4] = {};
  SendIRP(IOCTL_CONFIRM, buf + DRV_PREFIX_ROOM, 4, nullptr);
}

void getDebugInfo() {
  std::string path = std::string(installDir) + "/debug.bin";
  if (path.size() > 2047) path.resize(2047);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    GetLog().WriteToLogFL(__FILE__, __LINE__, "getDebugInfo", "getDebugInfo: can't open debug.bin");
    return;
  }
  std::vector<uint8_t> out;
  uint32_t got = 0;
  uint32_t length = 0;
  if (DRV_RawRequest(IOCTL_GETDDATALEN, nullptr, 0, out, &got) == 0 && got >= 4)
    std::memcpy(&length, out.data(), 4);
  if (length > GETDEBUGINFO_MAX) length = GETDEBUGINFO_MAX;
  // SendIRP writes its prefix into the 4 bytes in front of the data.
  std::vector<uint8_t> dump(DRV_PREFIX_ROOM + length + 1, 0);
  uint32_t have = 0;
  int32_t r = SendIRP(IOCTL_GETDDATA, dump.data() + DRV_PREFIX_ROOM, length + 1, &have);
  if (r == 0) {
    // The filter writes the text over the whole area, the prefix's place included.
    size_t n = strnlen(reinterpret_cast<char*>(dump.data()), have + DRV_PREFIX_ROOM);
    std::fwrite(dump.data(), 1, n, f);
  } else {
    GetLog().WriteToLogFL(__FILE__, __LINE__, "getDebugInfo", ("getDebugInfo: error " + std::to_string(r)).c_str());
  }
  fchmod(fileno(f), 0666);
  std::fclose(f);
}
