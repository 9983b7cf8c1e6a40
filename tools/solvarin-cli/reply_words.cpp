#include "tools/solvarin-cli/reply_words.h"

#include <arpa/inet.h>

#include <cstring>

#include "Service/common/core/client_commands.h"
#include "Service/common/core/connect_requests.h"
#include "Service/common/engine/engine_state.h"
#include "cross/common/drv_error.h"
#include "kernel/filter/address_table.h"
#include "kernel/include/drv_payloads.h"
#include "tools/solvarin-cli/exit_codes.h"

namespace {

// Connect error values with a meaning of their own (the rest are filter
// statuses, gateway statuses or errno values).
constexpr int32_t kNoAnswer = 16, kNoGatewayAddress = 51, kOtpError = 62, kCertificateStatus = 65,
                  kSynOkRefused = 67, kSynRefusedA = -15, kSynRefusedB = -16, kPushTooLong = -9,
                  kCancelled = -9998, kPushTimedOut = -9999;
// Connect results (the reply's byte 8).
constexpr uint32_t kCancelledOrNoStage = 1, kSocketFailed = 5, kNotAccepted = 7;

int32_t asSigned(uint32_t v) { return static_cast<int32_t>(v); }

int32_t payloadI32(const ServicePipeMessage_t& m, size_t offset) {
  int32_t v;
  memcpy(&v, m.payload + offset, sizeof v);
  return v;
}

std::string payloadText(const ServicePipeMessage_t& m, size_t offset, size_t n) {
  const char* p = reinterpret_cast<const char*>(m.payload + offset);
  return std::string(p, strnlen(p, n));
}

// Errors of the link to the gateway, as the socket layer reports them.
bool unreachable(int32_t e) {
  return e == ECONNREFUSED || e == EHOSTUNREACH || e == ENETUNREACH || e == ETIMEDOUT || e == EHOSTDOWN ||
         e == ENETDOWN;
}

const char* connectResultWords(uint32_t result) {
  switch (result) {
    case 0: return "connected";
    case 1: return "cancelled, or the filter in a state no stage handles";
    case 2: return "no gateway address, or the adapter binding or the connection init failed";
    case 3: return "the proxy request failed";
    case 4: return "the filter refused a set-up request";
    case 5: return "the gateway socket could not be used";
    case 6: return "the SYN OK could not be built";
    case 7: return "the gateway's reply or credentials were not accepted";
    case 8: return "the handshake did not complete";
    case 9: return "the session keys were refused";
    case CONNECT_BUSY: return "another connect or disconnect is in progress";
    case CONNECT_OWNED_OTHER: return "the tunnel is up and owned by another client";
  }
  return "unknown result";
}

// What happened on the link to the gateway, when the error tells it ("" otherwise).
std::string linkFailureWords(int32_t e, const ConnectContext& c) {
  std::string gateway = c.gateway.empty() ? "the gateway" : "the gateway " + c.gateway;
  switch (e) {
    case kNoAnswer: case ETIMEDOUT:
      return "no answer from " + gateway + " within " + std::to_string(c.seconds) + " s";
    case ECONNREFUSED: return "the gateway refused the connection";
    case EHOSTUNREACH: case EHOSTDOWN: return gateway + " cannot be reached (host unreachable)";
    case ENETUNREACH: case ENETDOWN: return gateway + " cannot be reached (network unreachable)";
    case kNoGatewayAddress: return "no gateway address";
  }
  return "";
}

Meaning connectMeaning(const ServicePipeMessage_t& m, const ConnectContext& context) {
  int32_t e = asSigned(m.value2);
  if (m.result == 0) return {"connected (tunnel state " + std::to_string(m.value1) + ")", kExitOk};
  if (m.result == kNotAccepted && e != 0 && e == context.ownPkiVerdict) {
    return {"not connected: this client refused the gateway's PKI data (verdict " + std::to_string(e) +
                "; result 7); tunnel state " + std::to_string(m.value1),
            kExitAuthentication};
  }
  std::string what = m.result == kCancelledOrNoStage ? "" : linkFailureWords(e, context);
  std::string words = "not connected: " + (what.empty() ? connectResultWords(m.result) : what) + " (result " +
                      std::to_string(m.result) + ")";
  if (e != 0) words += "; " + ErrorWords(e, m.result == kSocketFailed);
  return {words + "; tunnel state " + std::to_string(m.value1), ConnectExitStatus(m.result, e)};
}

Meaning disconnectMeaning(const ServicePipeMessage_t& m) {
  if (m.result == CS_CONNECT) {
    return {"still connected: the tunnel is owned by another client (disconnect-force takes it down)", kExitRefused};
  }
  return {"disconnected: " + StateWords(m.result), kExitOk};
}

// A request whose result is a status: 0 done, else the error.
Meaning statusMeaning(const char* done, uint32_t result) {
  if (result == 0) return {done, kExitOk};
  return {"refused: " + ErrorWords(asSigned(result)), kExitRefused};
}

// Results of the two host queries (adapter list, adapter MTU).
Meaning hostQueryMeaning(const std::string& done, uint32_t result, const char* failure) {
  if (result == 0) return {done, kExitOk};
  return {std::string(result == 1 ? "failed: no socket" : failure), kExitRefused};
}

Meaning gatewayConfigMeaning(const ServicePipeMessage_t& m) {
  if (m.result != 1) return {"no gateway configuration (not connected)", kExitRefused};
  // 12-byte entries: u32 address, u32 prefix length, u32 kind (0 DNS server).
  std::string words = "gateway configuration: all traffic through the gateway " +
                      std::string(m.value2 != 0 ? "yes" : "no") + "; networks:";
  for (uint32_t at = 0; at + 12 <= m.value1 && at + 12 <= IPC_PAYLOAD_SIZE; at += 12) {
    uint32_t address = static_cast<uint32_t>(payloadI32(m, at)), prefix = static_cast<uint32_t>(payloadI32(m, at + 4));
    words += ' ';
    words += DottedAddress(address);
    if (prefix != 32) words += '/' + std::to_string(prefix);
    if (payloadI32(m, at + 8) == 0) words += " (DNS server)";
  }
  return {words, kExitOk};
}

Meaning filterInfoMeaning(const ServicePipeMessage_t& m) {
  DrvInfoReply info;
  memcpy(&info, m.payload, sizeof info);
  return {"filter: version " + std::string(info.driver_version, strnlen(info.driver_version, sizeof info.driver_version)) +
              ", build " + std::string(info.build_text, strnlen(info.build_text, sizeof info.build_text)) + ", " +
              std::to_string(info.adapters) + " adapters, last key-change error " + std::to_string(info.last_error),
          kExitOk};
}

// The request named the kind and the entry index.
Meaning statisticsMeaning(const ServicePipeMessage_t& m, RequestValues request) {
  if (m.result != 0) return {"no statistics: " + ErrorWords(asSigned(m.result)), kExitRefused};
  std::string words = "entry " + std::to_string(request.second) + ": " + StatisticsWords(m.payload);
  if (request.first == DRV_STAT_CLEAR_ALL) words += " (then every entry's counters were cleared)";
  return {words, kExitOk};
}

Meaning firewallMeaning(const ServicePipeMessage_t& m) {
  if (m.result != 0) return {"no firewall information", kExitRefused};
  return {"firewall: sessions " + std::to_string(payloadI32(m, 0)) + ", session table " +
              std::to_string(static_cast<uint32_t>(payloadI32(m, 4))) + " bytes, throughput (bytes per 2^20 time units) all " +
              std::to_string(static_cast<uint32_t>(payloadI32(m, 8))) + ", tunnelled " +
              std::to_string(static_cast<uint32_t>(payloadI32(m, 12))),
          kExitOk};
}

Meaning versionMeaning(const ServicePipeMessage_t& m) {
  return {"daemon version " + payloadText(m, 20, 32) + ", installed in " + payloadText(m, 52, 2048), kExitOk};
}

}  // namespace

namespace {

const char* const kStages[] = {"starting", "proxy", "SYN request", "waiting for the gateway",
                               "checking the gateway", "waiting for the keys", "setting the keys"};

}  // namespace

std::string StateWords(uint32_t state) {
  if (state == CS_CONNECT) return "connected";
  if (state > CS_CONNECT) return "unknown state " + std::to_string(state);
  if (state == CS_NOINIT) return "not connected";
  return std::string("connecting (") + kStages[state] + ")";
}

std::string StateReplyWords(const ServicePipeMessage_t& reply) {
  uint32_t state = reply.result;
  if (state >= CS_CONNECT) return StateWords(state);
  if (reply.value1 == IPC_STATE_ATTEMPT_RUNNING) return std::string("connecting (") + kStages[state] + ")";
  if (state == CS_NOINIT) return "not connected";
  return std::string("connect failed (stopped at: ") + kStages[state] + ")";
}

std::string DottedAddress(uint32_t hostOrder) {
  in_addr a{htonl(hostOrder)};
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, text, sizeof text);
}

std::string StateName(uint32_t state) {
  static const char* const kNames[] = {"CS_NOINIT",    "CS_PCONNECTING", "CS_APP_SYNRQ", "CS_WAIT_SYNRR",
                                       "CS_APP_SYNOK", "CS_WAIT_SYNOKF", "CS_APP_KEYS",  "CS_CONNECT"};
  return state <= CS_CONNECT ? kNames[state] : std::to_string(state);
}

std::string ErrorWords(int32_t error, bool systemError) {
  std::string text = GetDrvError(error);
  const char* system = error > 0 ? strerrordesc_np(error) : nullptr;
  // Codes the driver texts do not know may be errno values of the socket layer.
  if (system != nullptr && (systemError || text.rfind("Unknown Drv error", 0) == 0)) text = system;
  return "error " + std::to_string(error) + ": " + text;
}

std::string StatisticsWords(const uint8_t* record) {
  zor::addr::Entry e{};
  memcpy(&e, record, zor::addr::kClientStatsSize);
  static const char* const kKinds[] = {"free", "broadcast", "gateway", "extra server", "tunnelled network", "learnt"};
  uint32_t counters[4];  // the packet path's counters in the entry's data
  memcpy(counters, e.data, sizeof counters);
  return DottedAddress(e.address) + " (" + (e.kind < 6 ? kKinds[e.kind] : "kind " + std::to_string(e.kind)) +
         "), expires " + (e.expiry == zor::addr::kNever ? "never" : "at tick " + std::to_string(e.expiry)) +
         "; packets tunnelled " + std::to_string(counters[0]) + ", malformed " + std::to_string(counters[1]) +
         ", passed " + std::to_string(counters[2]) + ", refused " + std::to_string(counters[3]);
}

Meaning RequestReplyMeaning(const ServicePipeMessage_t& m, RequestValues request) {
  switch (m.code) {
    case 0: return {"unregistered; tunnel " + StateWords(m.result), kExitOk};
    case 1: return {StateReplyWords(m), kExitOk};
    case 5: return gatewayConfigMeaning(m);
    case 10: return {"FlushDNS is " + std::to_string(payloadI32(m, 0)), kExitOk};
    case 11: return {"FlushDNS stored", kExitOk};
    case 12: return {"RestartAdapters stored", kExitOk};
    case 13: return {"RestartAdapters is " + std::to_string(payloadI32(m, 0)), kExitOk};
    case 14: return {"local rules: " + std::to_string(m.result) + " header bytes, " + std::to_string(m.value1) +
                         " table bytes", kExitOk};
    case 15: return {std::to_string(m.result) + " rule texts", kExitOk};
    case 16: return statusMeaning("local rules set", m.result);
    case 17: return statusMeaning("rule texts set", m.result);
    case 18: return statisticsMeaning(m, request);
    case 19: return {std::to_string(m.result) + " frames handed to the kernel and not yet completed", kExitOk};
    case 20: return filterInfoMeaning(m);
    case 21: return {"the filter's adapter dump went to debug.bin in the daemon's directory", kExitOk};
    case 22: return versionMeaning(m);
    case 23: return statusMeaning("tunnel group set", m.result);
    case 24: return statusMeaning("host white list set", m.result);
    case 25: return statusMeaning("IP white list set", m.result);
    case 26: return statusMeaning("protocols white list set", m.result);
    case 27: return statusMeaning("fail rate set", m.result);
    case 28: return {"DNS suffixes applied if connected (the daemon's log tells)", kExitOk};
    case 29: return {"the daemon answers", kExitOk};
    case 30: return {"the connect attempt in progress, if any, is told to stop", kExitOk};
    case 31: return m.result == 1 ? Meaning{"session helper: " + payloadText(m, 8, IPC_PAYLOAD_SIZE - 8), kExitOk}
                                  : Meaning{"no session helper process runs", kExitRefused};
    case 32: return hostQueryMeaning(std::to_string(m.value1) + " network adapters", m.result, "failed: no adapter list");
    case 33: return hostQueryMeaning("adapter MTU request done", m.result, "failed: the adapter request failed");
    case 35: return firewallMeaning(m);
    case 37: return {"RADIUS credentials stored", kExitOk};
    case 38: case 39: case 41: return {"reserved command: nothing done", kExitOk};
    case 40: return {std::to_string(m.value1) + " other window clients of this user", kExitOk};
  }
  return {"not a command of the request socket: sent back unchanged", kExitRefused};
}

int ConnectExitStatus(uint32_t result, int32_t e) {
  if (result == 0) return kExitOk;
  if (result == kCancelledOrNoStage) return e == kCancelled ? kExitInterrupted : kExitRefused;
  if (result == CONNECT_BUSY || result == CONNECT_OWNED_OTHER) return kExitRefused;
  if (e == kNoAnswer || e == kNoGatewayAddress || result == kSocketFailed || unreachable(e)) return kExitNoGateway;
  switch (e) {
    case kSynRefusedA: case kSynRefusedB: case kOtpError: case kCertificateStatus: case kSynOkRefused:
    case kPushTooLong: case kPushTimedOut:
      return kExitAuthentication;
  }
  return result == kNotAccepted ? kExitAuthentication : kExitRefused;
}

Meaning ConnectionReplyMeaning(const ServicePipeMessage_t& m, const ConnectContext& context) {
  switch (m.code) {
    case IPC_CMD_CONNECT: case IPC_CMD_CONNECT_ALT: return connectMeaning(m, context);
    case IPC_CMD_DISCONNECT: case IPC_CMD_DISCONNECT_FORCE: return disconnectMeaning(m);
  }
  return {"not a request of the connection socket: sent back unchanged", kExitRefused};
}
