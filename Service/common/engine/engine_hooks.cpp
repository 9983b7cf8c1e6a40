#include "Service/common/engine/engine_hooks.h"

#include <mutex>

#include "Service/common/dns/dns_registration_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/local_rules.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/service_hooks.h"

namespace {

bool statusResetDone() { return true; }
uint64_t noGeneration() { return 0; }
bool staleResetDone(uint64_t) { return true; }
void noSettings() {}

void toOwnerOrAll(ServicePipeMessage_t* msg, int client) {
  int target = client >= 0 ? client : g_TunnelOwnerClientN.load();
  if (target < 0) msg->clientN = -1;
  IPC_SendToClient(msg, target);
}

void toAll(ServicePipeMessage_t* msg) {
  msg->clientN = -1;
  IPC_SendToClient(msg, -1);
}

std::mutex g_hooksLock;
EngineHooks g_hooks = Engine_StandingHooks();

}  // namespace

EngineHooks Engine_StandingHooks() {
  return {statusResetDone, noGeneration, staleResetDone, noSettings, toOwnerOrAll, toAll};
}

EngineHooks Engine_SetHooks(const EngineHooks& hooks) {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  EngineHooks previous = g_hooks;
  if (hooks.resetConnectionStatus) g_hooks.resetConnectionStatus = hooks.resetConnectionStatus;
  if (hooks.statusJsonGeneration) g_hooks.statusJsonGeneration = hooks.statusJsonGeneration;
  if (hooks.resetConnectionStatusIfStale)
    g_hooks.resetConnectionStatusIfStale = hooks.resetConnectionStatusIfStale;
  if (hooks.postDisconnectSettings) g_hooks.postDisconnectSettings = hooks.postDisconnectSettings;
  if (hooks.sendToTunnelOwner) g_hooks.sendToTunnelOwner = hooks.sendToTunnelOwner;
  if (hooks.sendToClients) g_hooks.sendToClients = hooks.sendToClients;
  return previous;
}

void Engine_InstallDnsRegistratorHooks() {
  DnsRegistratorHooks h{};
  h.getVeskCfg = [](uint32_t* size, void*) { return getVeskCfg(size, nullptr); };
  h.SetDnsUpdateServers = SetDnsUpdateServers;
  SetDnsRegistratorHooks(h);
}

EngineHooks Engine_Hooks() {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  return g_hooks;
}
