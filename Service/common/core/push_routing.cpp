#include "Service/common/core/push_routing.h"

#include "Service/common/engine/engine_state.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/service_hooks.h"

std::atomic<int> g_LastConnectedClientNumber{0};

int TunnelMessageTarget(int id) {
  if (id >= 0) return id;
  int owner = g_TunnelOwnerClientN;
  if (owner >= 0) return owner;
  int last = g_LastConnectedClientNumber;
  if (filterState == CS_CONNECT && last >= 0) return last;
  return -1;
}

int IPC_SendToTunnelOwner(ServicePipeMessage_t* msg, int id) {
  int target = TunnelMessageTarget(id);
  msg->clientN = target;
  return IPC_SendToClient(msg, target);
}

int IPC_SendToClients(ServicePipeMessage_t* msg) { return IPC_SendToClient(msg, -1); }
