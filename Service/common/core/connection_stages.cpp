#include "Service/common/core/connection_stages.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Service/common/core/status_file.h"
#include "Service/common/core/wiped_message.h"
#include "Service/common/dns/suffix_baseline.h"
#include "Service/common/engine/adapter_binding.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/first_gateway_reconnect.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/engine/handshake_requests.h"
#include "crypto/crc32.h"
#include "cross/common/drv_error.h"
#include "cross/utils/connect_initiator.h"
#include "cross/utils/dns_flush.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/sleep.h"

namespace {

#define logLine(text) GetLog().WriteToLogFL(__FILE__, __LINE__, "ConnectToVesk", std::string(text).c_str())
#define DISCONNECT(reason) disConnect(reason, 0, __FILE__, __LINE__)

using Clock = std::chrono::steady_clock;

const uint32_t kDefaultStageTimeout = 5;   // seconds, when the filter names none
const unsigned kPollMs = 25;
const unsigned kSynOkResends = 5;          // six SYN OK sends in all
const auto kPushPassMax = std::chrono::seconds(10);
const uint32_t kReqHead = sizeof(DrvRequestHeader);
const uint32_t kFirstGatewayWaitMax = 60;  // minutes

std::string num(long long v) { return std::to_string(v); }

std::string dotted(uint32_t ip) {
  return num(ip >> 24) + "." + num((ip >> 16) & 0xFF) + "." + num((ip >> 8) & 0xFF) + "." + num(ip & 0xFF);
}

template <size_t N>
std::string field(const char (&text)[N]) {
  return FieldToString(reinterpret_cast<const uint8_t*>(text), N);
}

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// One attempt's running values.
struct Attempt {
  int client;
  int32_t* error;
  int32_t alternative;
  int32_t result = CONNECT_OK;
  const char* cancelReason = nullptr;  // the disconnect reason of a -9998 exit
  bool hasPushDeadline = false;
  Clock::time_point pushDeadline{};

  bool fail(int32_t r, int32_t e) {
    result = r;
    *error = e;
    return false;
  }
};

using Stage = bool (*)(Attempt&);


uint32_t stageTimeout() {
  uint32_t seconds = 0;
  if (getStageTimeout(seconds) != 0 || seconds == 0) seconds = kDefaultStageTimeout;
  stage_timeout = seconds;
  return seconds;
}

// Polls the gateway socket until the deadline; done() ends the wait early.
// False when the attempt was cancelled.
template <typename Done>
bool waitForGateway(Attempt& a, Clock::time_point deadline, const char* cancelReason, Done done) {
  while (Clock::now() < deadline) {
    if (is_interupt_connecton(a.result, *a.error)) {
      a.cancelReason = cancelReason;
      return false;
    }
    if (checkPacket() != 0 || done()) return true;
    Sleep(kPollMs);
  }
  return true;
}

void loadRadiusJson() {
  memcpy(radius_login_json, connect_data.radiusLoginJson, sizeof radius_login_json);
  logLine("radius_login_json: " + field(radius_login_json));
}

bool radiusCredentialsSet() { return radius_login[0] != 0 && radius_password[0] != 0; }

// ---- the stages ---------------------------------------------------------

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

// The client checks the gateway's PKI block (push 59); its answer carries
// the key data for the transport key.
bool checkPkiData(Attempt& a) {
  logLine("CS_APP_SYNOK CHECK PKI DATA");
  PkiBlockHeader pki;
  memcpy(&pki, tbuff, sizeof pki);
  uint64_t total = uint64_t{sizeof pki} + pki.lengthA + pki.lengthB + pki.lengthC;
  if (total > sizeof tbuff || total > IPC_PAYLOAD_SIZE) {
    logLine("PKI block of " + num(static_cast<long long>(total)) + " bytes does not fit");
    DISCONNECT("PKI block too long");
    return a.fail(CONNECT_REFUSED, CONNECT_ERR_BAD_SIZE);
  }
  WipedMessage check(IPC_MSG_CHECK_PKI);
  check.msg->result = pki.lengthA + pki.lengthB;
  check.msg->value1 = connect_data.profileId;
  check.msg->value2 = PKI_CHECK_SUBCODE;
  memcpy(check.msg->payload, tbuff, total);
  if (pki.lengthC != 0 && pki.pushDeadline != 0) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto remaining = std::chrono::seconds(pki.pushDeadline) - now;
    if (remaining <= decltype(remaining)::zero()) {
      logLine("Push time exceeded before confirmation");
      return a.fail(CONNECT_NO_SYNOKF, CONNECT_ERR_PUSH_TIMEOUT);
    }
    if (remaining >= std::chrono::seconds(4294967296LL)) {
      logLine("Push waiting interval exceeds uint32 seconds");
      return a.fail(CONNECT_REFUSED, CONNECT_ERR_PUSH_TOO_LONG);
    }
    a.hasPushDeadline = true;
    a.pushDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(remaining);
  }
  // The wait for the answer is bounded by the IPC layer; a silent client
  // fails the attempt and is dropped, so it cannot hold the daemon.
  if (IPC_SendToClient(check.msg.get(), a.client) != 1) {
    logLine("Client #" + num(a.client) + " did not answer the PKI check - dropped");
    IPC_DropClient(a.client);
    a.cancelReason = "Initiator did not answer the PKI check";
    return a.fail(CONNECT_CANCELLED, CONNECT_ERR_CANCELLED);
  }
  if (check.msg->value2 != 0) {
    char text[128];
    snprintf(text, sizeof text, "CHECK PKI DATA error %i; msgToClient.Ret2: %i", static_cast<int>(check.msg->value2),
             static_cast<int>(check.msg->value1));
    logLine(text);
    return a.fail(CONNECT_REFUSED, static_cast<int32_t>(check.msg->value2));
  }
  logLine("VESK CMS Verify OK!");
  uint32_t keyLength = std::min<uint32_t>(check.msg->value1, IPC_PAYLOAD_SIZE);
  int32_t r = createTransportKey(check.msg->payload, keyLength);
  if (r != 0) {
    logLine("Create transport key error " + num(r));
    DISCONNECT("Failed to create transport key");
    return a.fail(CONNECT_REFUSED, r);
  }
  logLine("CS_APP_SYNOK CHECK PKI DATA OK!");
  return true;
}

void pushRefusalDetail(Attempt& a, int32_t e) {
  if (e == -16 || e == -15) {
    WipedMessage detail(IPC_MSG_SYNRR_REFUSED);
    detail.msg->result = u32At(tbuff);
    IPC_SendToClient(detail.msg.get(), a.client);
  } else if (e == CONNECT_ERR_OTP) {
    sendExtendedOTPError(a.client);
  }
}

bool waitSynRr(Attempt& a) {
  logLine("CS_WAIT_SYNRR");
  treatReceivedPacket_Error = 0;
  closeWinsock();
  if (openSocket() != 0) {
    logLine("Open socket ERROR: " + num(errno));
    return a.fail(CONNECT_SOCKET_FAILED, lerr);
  }
  uint16_t localPort = 0;
  if (connectSocket(connect_data.gatewayIp, static_cast<uint16_t>(sendPacketRules.port), &localPort,
                    &hostlocalipaddress) != 0) {
    logLine("Connect socket ERROR: " + num(errno));
    return a.fail(CONNECT_SOCKET_FAILED, lerr);
  }
  setconnectkeys.localPort = localPort;
  uint32_t portWord;
  memcpy(&portWord, reinterpret_cast<const uint8_t*>(&setconnectkeys) + 12, 4);
  setClientSocketData(hostlocalipaddress, portWord);
  int32_t r = CreateAndSendSynRQPacket(Packet, ENGINE_PACKET_SIZE, a.error);
  if (r != 0) {
    a.result = r;
    return false;
  }
  bool ocsp = false;
  auto deadline = Clock::now() + std::chrono::seconds(stageTimeout());
  if (!waitForGateway(a, deadline, "Client interrupted connection while waiting for SYNRR", [&] {
        if (filterState == CS_APP_SYNOK || treatReceivedPacket_Error != 0) {
          ocsp = treatReceivedPacket_Error == CONNECT_ERR_OCSP;
          return true;
        }
        return false;
      })) {
    return false;
  }
  if (ocsp) {
    DISCONNECT("OCSP data error, restarting synchronization");
    filterState = CS_NOINIT;
    return a.fail(CONNECT_REFUSED, CONNECT_ERR_OCSP);
  }
  if (filterState == CS_APP_SYNOK) return checkPkiData(a);
  int32_t e = treatReceivedPacket_Error;
  pushRefusalDetail(a, e);
  return a.fail(CONNECT_REFUSED, e != 0 ? e : CONNECT_ERR_NO_STAGE);
}

bool appSynOk(Attempt& a) {
  logLine("CS_APP_SYNOK");
  treatReceivedPacket_Error = 0;
  int32_t r = treatSendPacket_SYNOK();
  if (r != 0) {
    logLine("treatSendPacket_SYNOK failed, code=" + num(r) + ": " + GetDrvError(r));
    DISCONNECT("Failed to build SYNOK packet");
    return a.fail(CONNECT_SYNOK_FAILED, r);
  }
  if (filterState != CS_WAIT_SYNOKF) {
    logLine("ConnectToVesk_CS_APP_WAIT_SYNOKF_ERROR");
    return a.fail(CONNECT_NO_SYNOKF, treatReceivedPacket_Error != 0 ? treatReceivedPacket_Error : CONNECT_ERR_NO_STAGE);
  }
  return true;
}

bool waitSynOkf(Attempt& a) {
  logLine("CS_WAIT_SYNOKF");
  unsigned resendsLeft = kSynOkResends;
  treatReceivedPacket_Error = 0;
  for (;;) {
    if (sendSocket(Packet, packetLen) != 0) {
      logLine("CS_WAIT_SYNOKF sendSocket error");
      DISCONNECT("Failed to send SYNOK packet");
      return a.fail(CONNECT_SOCKET_FAILED, lerr);
    }
    auto deadline = a.hasPushDeadline ? std::min(Clock::now() + kPushPassMax, a.pushDeadline)
                                      : Clock::now() + std::chrono::seconds(stageTimeout());
    if (!waitForGateway(a, deadline, "Client interrupted connection while waiting for SYNOKF", [] {
          if (filterState == CS_APP_KEYS) return true;
          if (treatReceivedPacket_Error == 0) return false;
          logLine("ERROR! WAITING SYNOKF (" + num(treatReceivedPacket_Error) + ")");
          return true;
        })) {
      return false;
    }
    if (filterState == CS_APP_KEYS || treatReceivedPacket_Error != 0) break;
    if (a.hasPushDeadline) {
      if (Clock::now() >= a.pushDeadline) {
        logLine("Push time exceeded!");
        return a.fail(CONNECT_NO_SYNOKF, CONNECT_ERR_PUSH_TIMEOUT);
      }
    } else if (resendsLeft-- == 0) {
      break;
    }
  }
  logLine("Finish waiting SYNOKF");
  if (filterState == CS_APP_KEYS) return true;
  int32_t e = treatReceivedPacket_Error;
  logLine("CS_APP_KEYS not set. Error: " + num(e));
  if (e == CONNECT_ERR_OKF_REFUSED) {
    WipedMessage detail(IPC_MSG_SYNOKF_REFUSED);
    memcpy(detail.msg->payload, tbuff, 76);
    IPC_SendToClient(detail.msg.get(), a.client);
  } else if (e == CONNECT_ERR_OTP) {
    sendExtendedOTPError(a.client);
  }
  a.fail(CONNECT_NO_SYNOKF, e != 0 ? e : CONNECT_ERR_NO_STAGE);
  logLine("ConnectToVesk_CS_APP_WAIT_SYNOKF_ERROR");
  if (filterState == CS_WAIT_SYNOKF) {
    DISCONNECT("SYNOKF wait failed, resetting filter state");
    filterState = CS_NOINIT;
  }
  return false;
}

bool appKeys(Attempt& a) {
  logLine("CS_APP_KEYS");
  stageTimeout();
  FillConnectKeys(setconnectkeys.localPort);
  int32_t r = setKeys(&setconnectkeys);
  if (r != 0) {
    logLine("CS_APP_KEYS setKeys error " + GetDrvError(r));
    DISCONNECT("Failed to set connection keys");
    return a.fail(CONNECT_KEYS_FAILED, r);
  }
  return true;
}

std::string flagLine(const char* name, bool on) { return std::string("\t\t") + name + (on ? " +\n" : " -\n"); }

// The log text of the connection's flags; sets "FlushDNS" when the gateway asks.
std::string connectionFlags(const veskcfgothertype& cfg) {
  std::string text;
  if (cfg.all_through_gateway != 0) text += "\tAllAdrVpnPortViaVesk +\n";
  bool radius = cfg.session_id != 0 || cfg.gateway_addr != 0;
  text += radius ? "\tRADIUS session +\n" : "\tRADIUS session -\n";
  text += "\tLocal settings received from VESK\n";
  uint32_t f = cfg.local_flags;
  text += flagLine("CCLSF_BLOCKNOIPPACK", f & CCLSF_BLOCKNOIPPACK);
  text += flagLine("CCLSF_BLOCKNOVPNIPPACK", f & CCLSF_BLOCKNOVPNIPPACK);
  text += flagLine("CCLSF_BLOCKNOVPNINTCPICMP", f & CCLSF_BLOCKNOVPNINTCPICMP);
  text += flagLine("CCLSF_FLUSHDNS", f & CCLSF_FLUSHDNS);
  if (f & CCLSF_FLUSHDNS) Registry_RegSetValueLongIntHex(installDir, "FlushDNS", 1);
  return text;
}

void pushRules(int client) {
  WipedMessage rules(IPC_MSG_RULES_ON_CONNECT);
  rules.msg->result = sizeof RULES;
  rules.msg->value1 = sizeof ATABLE;
  memcpy(rules.msg->payload, RULES, sizeof RULES);
  memcpy(rules.msg->payload + sizeof RULES, ATABLE, sizeof ATABLE);
  IPC_SendToClient(rules.msg.get(), client);
}

void startFirstGatewayTimer() {
  int minutes = 0;
  if (!Registry_RegGetValueInt(installDir, "RECONNECT_FIRSTVESK_WAIT", &minutes)) return;
  if (minutes > static_cast<int>(kFirstGatewayWaitMax)) {
    Registry_RegSetValueLongIntHex(installDir, "RECONNECT_FIRSTVESK_WAIT", kFirstGatewayWaitMax);
    minutes = kFirstGatewayWaitMax;
  }
  if (minutes <= 0) return;
  StartReconnectToFirstVESK(static_cast<uint32_t>(minutes));
  logLine("Timer for reconnecting with first VESK was set");
}

bool connected(Attempt& a) {
  if (setAdapter(connect_data.gatewayIp, 1) != 0) {
    DISCONNECT("Failed to set VPN adapter after connect");
    logLine("CS_NOINIT FilterSetVPNAdapter error " + GetDrvError(CONNECT_ERR_ADAPTER));
    return a.fail(CONNECT_INIT_FAILED, CONNECT_ERR_ADAPTER);
  }
  logLine("CS_CONNECT");
  UseServiceAlternalVESKIP = static_cast<uint32_t>(a.alternative);
  SetStatusToRegistry(1);
  flushDNSIf();
  std::string text = "\nConnection and local flags: \n";
  uint32_t length = 0;
  veskcfgothertype cfg{};
  if (const uint8_t* entries = getVeskCfg(&length, &cfg)) {
    VPN_IP = dotted(cfg.tunnel_addr);
    logLine("VPN IP: " + VPN_IP);
    PrintDynCfg(entries, length);
    text += connectionFlags(cfg);
    pushRules(a.client);
    std::string status = getStatusJSON();
    std::string country;
    getCountryCode(country);
    CacheConnectedStatusJson(status, cfg, country, field(radius_login_json), field(connect_data.certText));
  }
  logLine(text);
  if (UseServiceAlternalVESKIP != 0) startFirstGatewayTimer();
  a.result = CONNECT_OK;
  return true;
}

// The stages after CS_NOINIT, in the order they are tried: after a stage
// only those behind it are candidates for the filter's new state.
struct StageEntry {
  uint32_t state;
  Stage run;
};
const StageEntry kStages[] = {
    {CS_APP_SYNRQ, appSynRq}, {CS_PCONNECTING, pConnecting}, {CS_WAIT_SYNRR, waitSynRr}, {CS_APP_SYNOK, appSynOk},
    {CS_WAIT_SYNOKF, waitSynOkf}, {CS_APP_KEYS, appKeys}, {CS_CONNECT, connected},
};
const int kStageCount = sizeof kStages / sizeof kStages[0];

int nextStage(int after) {
  for (int i = after + 1; i < kStageCount; i++) {
    if (kStages[i].state == filterState) return i;
  }
  return -1;
}

void resetFilter() {
  const char reason[] = "Driver state stale or filter state must be reset";
  DISCONNECT(reason);
  suffix_baseline::RestoreSuffixesAfterUnmanagedDisconnect(reason);
  filterState = CS_NOINIT;
}

// The filter's stages were made from these connect data: another profile,
// profile type or gateway must not go on with their SYN request and keys.
bool sameAttempt() { return memcmp(&connect_data, &attempt_connect_data, sizeof connect_data) == 0; }

// The stage to resume at from the filter's state; -1 for CS_NOINIT.
int firstStage() {
  switch (filterState) {
    case CS_NOINIT: return -1;
    case CS_APP_SYNRQ:
    case CS_WAIT_SYNRR:
    case CS_WAIT_SYNOKF:
      if (!radiusCredentialsSet() && sameAttempt()) {
        if (auth_type_ext == AUTH_TYPE_RADIUS_JSON) loadRadiusJson();
        return nextStage(-1);
      }
      break;
  }
  resetFilter();
  return -1;
}

// Drops what the last attempt knew when the certificate or the extended
// authentication type changed.
void checkIdentity() {
  bool certChanged = memcmp(connect_data.certId, g_LastUsingCertUQ, sizeof g_LastUsingCertUQ) != 0;
  bool authChanged = connect_data.authTypeExt != auth_type_ext;
  if (!certChanged && !authChanged) return;
  if (filterState != CS_NOINIT) {
    DISCONNECT("Certificate or authentication type changed");
    filterState = CS_NOINIT;
  }
  memcpy(g_LastUsingCertUQ, connect_data.certId, sizeof g_LastUsingCertUQ);
  memset(radius_login, 0, sizeof radius_login);
  memset(radius_password, 0, sizeof radius_password);
  if (authChanged) {
    auth_type_ext = connect_data.authTypeExt;
    setAuthTypeExt(auth_type_ext);
  }
}

bool runStages(Attempt& a) {
  if (connect_data.gatewayIp == 0) {
    if (filterState != CS_NOINIT) {
      DISCONNECT("Profile has no VESK address");
      filterState = CS_NOINIT;
    }
    return a.fail(CONNECT_INIT_FAILED, CONNECT_ERR_NO_GATEWAY);
  }
  checkAdapter(connect_data.gatewayIp);
  logLine("VESK IP: " + dotted(connect_data.gatewayIp));
  checkIdentity();
  SetStatusToRegistry(0);
  int stage = firstStage();
  attempt_connect_data = connect_data;
  if (stage < 0) {
    if (!noInit(a)) return false;
    stage = nextStage(-1);
  }
  for (;;) {
    if (stage < 0) return a.fail(CONNECT_CANCELLED, CONNECT_ERR_NO_STAGE);
    if (!kStages[stage].run(a)) return false;
    if (kStages[stage].state == CS_CONNECT) return true;
    stage = nextStage(stage);
  }
}

// Ends the attempt on every path, also when an exception leaves it.
struct AttemptScope {
  int client;
  std::unique_lock<std::mutex> lock{mtx_connecting_started};
  explicit AttemptScope(int c) : client(c) {
    zorvik::connect_initiator::tracker().begin(client);
    connect_attempt_running = true;
  }
  ~AttemptScope() {
    connect_attempt_running = false;
    zorvik::connect_initiator::tracker().end(client);
  }
};

}  // namespace

int32_t ConnectToVesk(int client, int32_t* error, int32_t alternative, const ProfileConnectData*,
                      const std::atomic<bool>*, unsigned long* extra) {
  if (extra != nullptr) *extra = 0;
  interrupt_connection.exchange(false);
  AttemptScope scope(client);
  if (!IPC_ClientAlive(client)) {
    logLine("Client #" + num(client) + " IPC already lost - connect attettempt cancelled");
    zorvik::connect_initiator::tracker().markLostIfInitiator(client);
  }
  int32_t ignored = 0;
  Attempt a{client, error != nullptr ? error : &ignored, alternative};
  g_current_trycounter = 0;
  runStages(a);
  if (*a.error == CONNECT_ERR_PUSH_TIMEOUT) DISCONNECT("Push authentication timed out while waiting for SYNOKF");
  if (*a.error == CONNECT_ERR_CANCELLED && a.cancelReason != nullptr) DISCONNECT(a.cancelReason);
  filterStatePrev = filterState;
  return a.result;
}

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

bool is_interupt_connecton(int32_t& result, int32_t& error) {
  if (zorvik::connect_initiator::tracker().initiatorLost()) {
    result = CONNECT_CANCELLED;
    error = CONNECT_ERR_CANCELLED;
    logLine("Connecting interrupted: initiator client IPC lost");
    return true;
  }
  bool expected = true;
  if (interrupt_connection.compare_exchange_strong(expected, false)) {
    result = CONNECT_CANCELLED;
    error = CONNECT_ERR_CANCELLED;
    logLine("Connecting interrupted by client");
    return true;
  }
  return false;
}

void sendExtendedOTPError(int client) {
  logLine("CS_APP_SYNOK OTP INNER ERROR!");
  WipedMessage otp(IPC_MSG_OTP_ERROR);
  otp.msg->result = tbuff[0];
  logLine("OTP INNER ERROR CODE: " + num(tbuff[0]));
  IPC_SendToClient(otp.msg.get(), client);
}

std::string DynCfgText(const uint8_t* entries, uint32_t length) {
  if (length == 0) return "";
  std::string text = "\n\n----- Dynamic configuration info -----\n";
  for (uint32_t i = 0; i + 12 <= length; i += 12) {
    uint32_t ip = u32At(entries + i), prefix = u32At(entries + i + 4), kind = u32At(entries + i + 8);
    char line[64];
    snprintf(line, sizeof line, "\t%03u.%03u.%03u.%03u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
    text += line;
    if (prefix != 32) text += " / " + num(prefix);
    if (kind == 0) text += " (dns)";
    else if (kind != 1) text += " (" + num(kind) + ")";
    text += "\n";
  }
  return text;
}

void PrintDynCfg(const uint8_t* entries, uint32_t length) {
  if (length == 0) return;
  GetLog().WriteToLogFL(__FILE__, __LINE__, "PrintDynCfg", DynCfgText(entries, length).c_str());
}
