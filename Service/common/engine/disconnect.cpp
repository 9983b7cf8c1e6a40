#include "Service/common/engine/disconnect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/first_gateway_reconnect.h"
#include "Service/common/engine/local_rules.h"
#include "crypto/crc32.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"

namespace {

// RQC_DISCONNECT's payload.
struct __attribute__((packed)) DisconnectRequest {
  uint32_t reserved;
  uint32_t fromUser;
};
static_assert(sizeof(DisconnectRequest) == 8);

constexpr uint32_t EMPTY_RULES_WORD4 = 0x80;

const char* baseName(const char* file) {
  const char* base = file;
  for (const char* p = file; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

void resetTunnelOwnerAndStatus() {
  g_TunnelOwnerClientN.exchange(-1);
  SetStatusToRegistry(0);
  if (!Engine_Hooks().resetConnectionStatus())
    GetLog().WriteToLogFL(__FILE__, __LINE__, "ResetTunnelOwnerAndStatus", "ERROR! Can't reset STATUS.JSON!");
}

}  // namespace

void DisconnectLogText(char* out, unsigned size, const char* reason, int fromUser, const char* file,
                       int line) {
  std::string text = "Disconnect activate with state: " + std::to_string(filterState);
  text += fromUser == 1 ? ", reason: FROM USER" : ", reason: internal";
  text += ", disconnect reason: ";
  text += reason && *reason ? reason : "<empty>";
  if (file && *file) text += std::string(", called from ") + baseName(file) + ":" + std::to_string(line);
  snprintf(out, size, "%s", text.c_str());
}

int DisconnectNative(const char* reason, int fromUser, const char* file, int line) {
  char text[1024];
  DisconnectLogText(text, sizeof text, reason, fromUser, file, line);
  GetLog().WriteToLogFL(__FILE__, __LINE__, "DisconnectNative", text);
  resetTunnelOwnerAndStatus();
  g_tunnel_generation.fetch_add(1);
  DisconnectRequest req{0, 0};
  if (fromUser == 1) {
    GetLog().WriteToLogFL(__FILE__, __LINE__, "DisconnectNative", "!!! Disconnect from GUI !!!");
    req.fromUser = 1;
  }
  DrvReply reply;
  int32_t r = DRV_Request(RQC_DISCONNECT, &req, sizeof req, sizeof req, reply);
  if (r != 0) return r;
  filterState = reply.header.state;
  GetLog().WriteToLogFL(__FILE__, __LINE__, "DisconnectNative",
                        ("Disconnect state after Driver request: " + std::to_string(filterState)).c_str());
  filterStatePrev = filterState;
  return 0;
}

int DisconnectOnOwnSocket(unsigned replyTimeoutMs) {
  uint8_t buf[DRV_PREFIX_ROOM + sizeof(DrvRequestHeader) + sizeof(DisconnectRequest)] = {};
  DrvRequestHeader h{};
  h.magic = DRV_REQUEST_MAGIC;
  h.length = sizeof(DisconnectRequest);
  std::memcpy(buf + DRV_PREFIX_ROOM, &h, sizeof h);  // the request itself is all zero: not from the user
  return SendIRP_OwnSocket(RQC_DISCONNECT, buf + DRV_PREFIX_ROOM, sizeof buf - DRV_PREFIX_ROOM, nullptr,
                           replyTimeoutMs);
}

void Engine_InstallDisconnectHandler() {
  ServiceHandlers h = IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
  h.disConnect = DisconnectNative;
  IPC_SetServiceHandlers(h);
}

int setFilterRulesWithoutConnect0() {
  rulesfileheadertype header;
  addrobjtype table;
  std::memset(&header, 0, sizeof header);
  std::memset(&table, 0, sizeof table);
  header.format = RULES_FORMAT;
  header.word4 = EMPTY_RULES_WORD4;
  SealRulesHeader(&header);
  SealRulesTable(&table);
  if (FCS32(&header, sizeof header) != FCS32_RESIDUE_VALUE) return -3;
  // prefix, request header, chunk head, image
  constexpr uint32_t chunkLen = sizeof(RulesChunkHead) + RULES_IMAGE_SIZE;
  constexpr uint32_t sendLen = sizeof(DrvRequestHeader) + chunkLen;  // 3144
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(DRV_PREFIX_ROOM + sendLen));
  if (!buf) return -2;
  uint8_t* data = buf + DRV_PREFIX_ROOM;
  DrvRequestHeader h{};
  h.magic = DRV_REQUEST_MAGIC;
  h.length = chunkLen;
  RulesChunkHead head{RULES_IMAGE_SIZE, 0};
  std::memcpy(data, &h, sizeof h);
  std::memcpy(data + sizeof h, &head, sizeof head);
  std::memcpy(data + sizeof h + sizeof head, &header, sizeof header);
  std::memcpy(data + sizeof h + sizeof head + sizeof header, &table, sizeof table);
  uint32_t got = 0;
  int r = SendIRP(RQC_SETLOCALCFG, data, sendLen, &got);
  if (r == 0) {
    DrvRequestHeader reply;
    std::memcpy(&reply, data, sizeof reply);
    RulesChunkAnswer answer{};
    std::memcpy(&answer, data + sizeof reply, sizeof answer);
    if (reply.status != 0)
      r = reply.status;
    else if (reply.magic == DRV_REQUEST_MAGIC)
      r = -answer.error;
    else
      r = -1;
  }
  std::free(buf);
  return r;
}

int closeZorVPNDevice() { return 0; }
