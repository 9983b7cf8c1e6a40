// The first stages of an attempt: the filter's initialisation, the SYN
// request's material (auxiliary information, tunnel group) and the request
// itself, the proxy state; and how the SYN request is sent to the gateway.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Service/common/core/connect_attempt.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/engine/handshake_requests.h"
#include "crypto/crc32.h"
#include "cross/common/drv_error.h"

namespace {

const uint32_t kReqHead = sizeof(DrvRequestHeader);

}  // namespace

namespace connect_attempt {

void loadRadiusJson() {
  memcpy(radius_login_json, connect_data.radiusLoginJson, sizeof radius_login_json);
  logLine("radius_login_json: " + field(radius_login_json));
}

bool noInit(Attempt& a) {
  logLine("CS_NOINIT");
  int32_t r = filterInit();
  if (r != 0) {
    logLine("CS_NOINIT filterInit error " + GetDrvError(r));
    return a.fail(CONNECT_INIT_FAILED, r);
  }
  if (auth_type_ext == AUTH_TYPE_RADIUS_JSON) loadRadiusJson();
  return true;
}

bool appSynRq(Attempt& a) {
  logLine("CS_APP_SYNRQ - set aux information");
  int32_t r = setAuxInfo();
  if (r != 0) {
    logLine("setAuxInfo err" + num(r));
    DISCONNECT("Failed to set auxiliary information");
    return a.fail(CONNECT_SYNRQ_FAILED, r);
  }
  logLine("setAuxInfo successfully");
  char group[sizeof connect_data.tunnelGroup + 1] = {};
  memcpy(group, connect_data.tunnelGroup, sizeof connect_data.tunnelGroup);
  if ((r = setTunnelGroup(group)) != 0) {
    logLine("setTunnelGroup err" + num(r));
    DISCONNECT("Failed to set tunnel group");
    return a.fail(CONNECT_SYNRQ_FAILED, r);
  }
  logLine("setTunnelGroup successfully");
  logLine("CS_APP_SYNRQ -> Client#" + num(a.client));
  if ((r = getSendPacket_SYNRQ(a.client)) != 0) {
    DISCONNECT("Failed to create SYN request packet");
    return a.fail(CONNECT_SYNRQ_FAILED, r);
  }
  return true;
}

bool pConnecting(Attempt& a) {
  const uint8_t noProxy[14] = {};
  if (sendProxyState(RQC_PCONNECTING, noProxy, sizeof noProxy) != 0) {
    a.result = CONNECT_PROXY_FAILED;
    return false;
  }
  logLine("CS_PCONNECTING - not using proxy");
  return true;
}

}  // namespace connect_attempt

using namespace connect_attempt;

std::vector<SynFragment> SynRequestFragments(uint32_t L, uint32_t H) {
  if (H == 0) return {{0, L, false, 0}};
  uint32_t body = L - H;
  uint32_t pieces = body / (SYNRQ_DATAGRAM_MAX - H) + 1;
  uint32_t chunk = body / pieces;
  if (chunk < body) chunk++;
  std::vector<SynFragment> out = {{0, H + chunk, false, 0}};
  for (uint32_t o = H + chunk; o < L; o += chunk) {
    chunk = std::min(chunk, L - o);
    out.push_back({o - H, H + chunk, true, static_cast<uint16_t>(o - H)});
  }
  return out;
}

int32_t CreateAndSendSynRQPacket(const uint8_t* reply, uint32_t size, int32_t* error) {
  uint8_t n = 0;
  int32_t r = getNextSynNumber(&n);
  if (r != 0) {
    char text[64];
    snprintf(text, sizeof text, "Error get next number from FILTER: %i", r);
    logLine(text);
    DISCONNECT("Failed to get next SYN packet number");
    *error = r;
    return CONNECT_SYNRQ_FAILED;
  }
  g_current_trycounter = n;
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[ENGINE_PACKET_SIZE]());
  if (!copy) {
    *error = CONNECT_ERR_NO_MEMORY;
    return CONNECT_SOCKET_FAILED;
  }
  size = std::min<uint32_t>(size, ENGINE_PACKET_SIZE);
  memcpy(copy.get(), reply, size);
  uint8_t* req = copy.get() + kReqHead;
  uint32_t H = u32At(copy.get() + 16), L = u32At(copy.get() + 20);
  // Decision: a request that does not lie in the buffer, or whose own header
  // leaves no room for a chunk in a datagram, is refused as a bad size.
  if (L < 13 || L > size - kReqHead || (H > 0 && (H >= SYNRQ_DATAGRAM_MAX || H >= L || H < 2))) {
    DISCONNECT("SYN request of a bad size");
    *error = CONNECT_ERR_BAD_SIZE;
    return CONNECT_SYNRQ_FAILED;
  }
  if (req[8] != n) {
    req[8] = n;
    uint32_t trailer = ~FCS32(req, L - 4);
    memcpy(req + L - 4, &trailer, 4);
    char text[32];
    snprintf(text, sizeof text, "Trycounter set to %d", n);
    logLine(text);
  }
  for (const SynFragment& f : SynRequestFragments(L, H)) {
    if (f.stampOffset) {
      memcpy(req + f.start, req, H);
      memcpy(req + f.start + H - 2, &f.offsetWord, 2);
    }
    if (sendSocket(req + f.start, f.length) != 0) {
      *error = lerr;
      return CONNECT_SOCKET_FAILED;
    }
  }
  return 0;
}
