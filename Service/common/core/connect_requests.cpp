#include "Service/common/core/connect_requests.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "Service/common/core/client_commands.h"
#include "Service/common/core/connection_stages.h"
#include "Service/common/core/push_routing.h"
#include "Service/common/core/tunnel_settings.h"
#include "Service/common/core/wiped_message.h"
#include "Service/common/dns/suffix_baseline.h"
#include "Service/common/engine/engine_state.h"
#include "cross/common/drv_error.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"

namespace {

#define logLine(text) \
  GetLog().WriteToLogFL(__FILE__, __LINE__, "AnswerClientConnectRequest", std::string(text).c_str())

const char kDefaultReason[] = "Disconnect requested by GUI";
const uint32_t kDefaultAttempts = 10, kMaxAttempts = 255;

std::string num(long long v) { return std::to_string(v); }

// Who owns the tunnel that is up after the attempt; may take it down again
// when its initiator has gone.
void settleOwnership(int requester, uint32_t* result, int* error) {
  bool alive;
  int owner;
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    alive = IPC_ClientAliveLocked(requester);
    owner = g_TunnelOwnerClientN;
    if (owner == -1 && alive) {
      g_TunnelOwnerClientN.exchange(requester);
      logLine("Tunnel owner set to client #" + num(requester));
    }
  }
  if (!alive && (owner == -1 || owner == requester)) {
    logLine("Client #" + num(requester) + " is gone, its tunnel has no owner - disconnecting");
    int d = disConnect("Connect initiator IPC connection lost", 0, __FILE__, __LINE__);
    if (d != 0) logLine("Ownerless tunnel disconnect failed: " + num(d));
    *error = -9998;
    *result = 1;
  } else if (owner != -1 && owner != requester) {
    logLine("Client " + num(requester) + " requested connect, tunnel already owned by " + num(owner) +
            " - ownership unchanged");
    *result = CONNECT_OWNED_OTHER;
  }
  g_notified_filterState.exchange(filterState);
}

void connect(const ServicePipeMessage_t& req, ServicePipeMessage_t& reply) {
  uint32_t attempts = kDefaultAttempts;  // the first word of the send rules
  GetPacketRules_sendattemps(&attempts);
  sendPacketRules.flag = attempts;
  std::unique_lock<std::mutex> vesk(mtx_connecting_vesk, std::try_to_lock);
  if (!vesk.owns_lock()) {
    reply.result = CONNECT_BUSY;
    reply.value1 = filterState;
    return;
  }
  int requester = req.clientN;
  g_LastConnectedClientNumber.exchange(requester);
  memcpy(&connect_data, req.payload, sizeof connect_data);
  uint32_t result = 0;
  int error = 0;
  std::string text = "Already connected";
  // The attempt holds the settings until the tunnel it brought up has its
  // owner, so that no other user's setting lands on it in between.
  std::optional<core::TunnelSettingsOfAttempt> settings;
  if (filterState != CS_CONNECT) {
    settings.emplace(requester);
    result = static_cast<uint32_t>(ConnectToVesk(requester, &error, static_cast<int32_t>(req.result), nullptr,
                                                 nullptr, nullptr));
    text = "VESK connection by Client #" + num(requester) + " finished on filter state: " +
           fitlerState2String(static_cast<int>(filterState)) + "\n\t status: " + num(result) + " (" + num(error) +
           ") " + "\n\t description: " + GetDrvError(error);
  }
  logLine(text);
  if (filterState == CS_CONNECT) settleOwnership(requester, &result, &error);
  settings.reset();
  reply.result = result;
  reply.value1 = filterState;
  reply.value2 = static_cast<uint32_t>(error);
  memcpy(reply.payload, &sendPacketRules, sizeof sendPacketRules);
}

void disconnect(ServicePipeMessage_t& req, ServicePipeMessage_t& reply, ServicePipeMessage_t& broadcast) {
  std::lock_guard<std::mutex> vesk(mtx_connecting_vesk);
  int requester = req.clientN;
  int owner = g_TunnelOwnerClientN;
  // The forced code serves any client of the owner's user, no other user.
  bool refused = req.code == IPC_CMD_DISCONNECT ? owner >= 0 && owner != requester : !MayActOnTheTunnel(requester);
  if (refused) {
    logLine("Disconnect request from non-owner client " + num(requester) + ", owner is " + num(owner) + " - ignored");
    reply.result = filterState;
    return;
  }
  if (filterState == CS_CONNECT) {
    req.payload[IPC_PAYLOAD_SIZE - 1] = 0;
    const char* reason = req.payload[0] != 0 ? reinterpret_cast<const char*>(req.payload) : kDefaultReason;
    disConnect(reason, 1, __FILE__, __LINE__);
    suffix_baseline::RestoreSuffixBaseline();
    broadcast.code = IPC_MSG_STATE_CHANGED;
    broadcast.result = filterState;
    g_notified_filterState.exchange(filterState);
  }
  reply.result = filterState;
  logLine("Disconnected from VESK");
}


}  // namespace

namespace core {

void AnswerClientConnectRequest(ServicePipeMessage_t* message) {
  if (message == nullptr) {
    logLine("Wrong message NULL");
    return;
  }
  uint32_t code = message->code;
  if (code != IPC_CMD_CONNECT && code != IPC_CMD_CONNECT_ALT && code != IPC_CMD_DISCONNECT &&
      code != IPC_CMD_DISCONNECT_FORCE) {
    return;
  }
  WipedMessage reply(code), broadcast(IPC_MSG_NONE);
  if (code == IPC_CMD_CONNECT || code == IPC_CMD_CONNECT_ALT) connect(*message, *reply.msg);
  else disconnect(*message, *reply.msg, *broadcast.msg);
  int requester = message->clientN;
  reply.msg->clientN = requester;
  memcpy(message, reply.msg.get(), sizeof *message);
  if (broadcast.msg->code != IPC_MSG_NONE) {
    broadcast.msg->clientN = requester;
    IPC_SendToClient(broadcast.msg.get(), -1);
  }
}

}  // namespace core

bool MayActOnTheTunnel(int requester) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  int owner = g_TunnelOwnerClientN;
  if (owner < 0) return true;
  auto self = clients_list.find(requester), held = clients_list.find(owner);
  return self != clients_list.end() && held != clients_list.end() && self->second.user == held->second.user;
}

namespace Zor::OpenWindow {

int CountWindowClients(const std::map<int, IPC_Client>& clients, int requester) {
  auto self = clients.find(requester);
  if (self == clients.end()) return 0;
  int count = 0;
  for (const auto& [id, client] : clients) {
    if (id != requester && client.kind == 0 && client.serverClientSock > 0 && !client.closed->load() &&
        client.user == self->second.user) {
      count++;
    }
  }
  return count;
}

}  // namespace Zor::OpenWindow

void GetPacketRules_sendattemps(uint32_t* attempts) {
  int value = 0;
  if (!Registry_RegGetValueInt(installDir, "ClientConnectAttempts", &value)) return;
  if (value > static_cast<int>(kMaxAttempts) || value < 0) {
    Registry_RegSetValueLongIntHex(installDir, "ClientConnectAttempts", kMaxAttempts);
    value = kMaxAttempts;
  }
  *attempts = value == 0 ? kDefaultAttempts : static_cast<uint32_t>(value);
}

const char* fitlerState2String(int state) {
  static const char* const kNames[] = {"CS_NOINIT",    "CS_PCONNECTING", "CS_APP_SYNRQ", "CS_WAIT_SYNRR",
                                       "CS_APP_SYNOK", "CS_WAIT_SYNOKF", "CS_APP_KEYS",  "CS_CONNECT"};
  return state >= 0 && state <= 7 ? kNames[state] : "";
}
