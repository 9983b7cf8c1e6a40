#pragma once
// Connect and disconnect requests of the connection socket, and who owns the
// tunnel: the client whose connect brought it up owns it; only the owner
// (or anyone, with the forced code) takes it down.
#include <cstdint>
#include <map>

#include "cross/utils/ipc_message.h"
#include "cross/utils/ipc_server.h"

enum ConnectionCommand : uint32_t {
  IPC_CMD_CONNECT = 3,
  IPC_CMD_CONNECT_ALT = 4,  // the gateway address is an alternative one
  IPC_CMD_DISCONNECT = 6,
  IPC_CMD_DISCONNECT_FORCE = 7,
};

// Results of a connect request at byte 8 besides ConnectToVesk's own.
enum : uint32_t {
  CONNECT_BUSY = 10,         // another connect or disconnect is in progress
  CONNECT_OWNED_OTHER = 11,  // the tunnel is up and owned by another client
};

namespace core {
// Answers one connect or disconnect request over *message; a connect runs
// the whole attempt first. Other codes come back unchanged.
void AnswerClientConnectRequest(ServicePipeMessage_t* message);
}  // namespace core

// Whether requester may end the tunnel by force, change its rules and
// settings or read its configuration and figures: always while the tunnel
// has no owner, else only when it is a client of the owner's own user.
bool MayActOnTheTunnel(int requester);

namespace Zor::OpenWindow {
// The requester's other window clients of the same user that are alive and
// have a push socket; 0 for an unknown requester. The caller holds
// mtx_reg_clients.
int CountWindowClients(const std::map<int, IPC_Client>& clients, int requester);
}  // namespace Zor::OpenWindow

// The connect attempts setting "ClientConnectAttempts": absent leaves
// *attempts, 0 gives 10, above 255 is stored back as 255.
void GetPacketRules_sendattemps(uint32_t* attempts);
// "CS_NOINIT" .. "CS_CONNECT"; "" outside 0-7.
const char* fitlerState2String(int state);
