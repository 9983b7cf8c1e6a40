#include "tools/solvarin-cli/push_words.h"

#include "Service/common/engine/engine_state.h"
#include "tools/solvarin-cli/reply_words.h"

namespace {

// Message 50's byte 16: why the state was announced.
enum StateChangeReason : uint32_t { kChanged = 0, kReconnect = 1, kStandbyReconnect = 2, kStandbyCleanup = 3 };
// Message 63's byte 12.
constexpr uint32_t kSessionTimeout = 74;

std::string state(uint32_t s) {
  std::string text = "state " + std::to_string(s);
  if (s <= CS_CONNECT) text += " (" + StateName(s) + (s == CS_CONNECT ? ", connected)" : ")");
  return text;
}

std::string why(uint32_t reason) {
  switch (reason) {
    case kReconnect: return ", the filter asked for a reconnect";
    case kStandbyReconnect: return ", reconnect after stand-by";
    case kStandbyCleanup: return ", cleaned up after stand-by";
  }
  return "";
}

std::string signedText(uint32_t v) { return std::to_string(static_cast<int32_t>(v)); }

std::string stateDownReason(const ServicePipeMessage_t& m, int ownId) {
  switch (m.value2) {
    case kReconnect: return "the filter asked for a reconnect";
    case kStandbyReconnect: return "taken down for a reconnect after stand-by";
    case kStandbyCleanup: return "cleaned up after stand-by";
  }
  // A disconnect request or an owner's unregistering names its client.
  if (m.clientN >= 0 && m.clientN != ownId) return "disconnected by client " + std::to_string(m.clientN);
  return "the filter reported the tunnel down";
}

}  // namespace

std::string DescribePush(const ServicePipeMessage_t& m) {
  switch (m.code) {
    case 45: return "the service is stopping: this client is closed";
    case 50: return "the tunnel changed: " + state(m.result) + why(m.value2);
    case 51: return "local rules: " + std::to_string(m.result) + " header bytes, " + std::to_string(m.value1) +
                    " table bytes";
    case 52: return "local rule texts changed: " + std::to_string(m.result) + " entries";
    case 54: return "the first gateway answers again: the tunnel was moved off the alternative one";
    case 58: return "the service asks for the SYN request's signature material";
    case 59: return "the service asks to check the gateway's PKI data (" + std::to_string(m.result) + " bytes)";
    case 60: return "the gateway refused the SYN request, detail " + signedText(m.result);
    case 61: return "the gateway refused the SYN OK";
    case 62: return "the gateway reports a one-time password error, code " + std::to_string(m.result);
    case 63: return std::string("the session ended: ") + (m.value1 == kSessionTimeout ? "session time-out" : "ended by the gateway");
    case 64: return "access level " + std::to_string(m.value1) +
                    (m.result != 0 ? " (the query failed, status " + signedText(m.result) + ")" : "");
    case 65: return "another window client asked for the window count";
  }
  return "";
}

std::string ConnectProgress(const ServicePipeMessage_t& m) {
  switch (m.code) {
    case 58: return "connecting: signing the connection request";
    case 59: return "connecting: the gateway answered; checking its PKI data";
    case 51: return "connecting: keys set, the tunnel is up";
    case 60: return "connecting: the gateway refused the connection request";
    case 61: return "connecting: the gateway refused the confirmation";
    case 62: return "connecting: the gateway refused the one-time password";
  }
  return "";
}

std::string TunnelDownReason(const ServicePipeMessage_t& m, int ownId) {
  switch (m.code) {
    case 45: return "the service is stopping";
    case 50: return m.result == CS_CONNECT ? "" : stateDownReason(m, ownId);
    case 63: return m.value1 == kSessionTimeout ? "session time-out" : "ended by the gateway";
  }
  return "";
}
