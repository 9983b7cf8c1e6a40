#pragma once
// Where messages about the tunnel go: to the given client, else to the
// tunnel owner, else (while connected) to the last client that asked to
// connect, else to every client. The owner itself (g_TunnelOwnerClientN)
// lives with the IPC server; the request lock and the announced state with
// the engine's state.
#include <atomic>

#include "cross/utils/ipc_message.h"

// The last connect request that got past the busy check; 0 at start.
extern std::atomic<int> g_LastConnectedClientNumber;

// The target chosen for id (see above); -1 means every client.
int TunnelMessageTarget(int id);
// Writes the chosen target into byte 4 and pushes; IPC_SendToClient's result.
int IPC_SendToTunnelOwner(ServicePipeMessage_t* msg, int id);
// Every registered client but the one named at byte 4.
int IPC_SendToClients(ServicePipeMessage_t* msg);
