#include "Service/common/engine/event_dispatcher.h"

#include <cstring>
#include <string>

#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "cross/utils/dns_flush.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/sleep.h"

ServicePipeMessage_t msgToClient;
unsigned OnDriverEvent_StandbySleepMs = 5000;

namespace {

void logLine(int line, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, "OnDriverEvent", text.c_str());
}

void logSignal(int32_t code, const std::string& extra = "") {
  logLine(__LINE__, std::string("Signal from drv DrvSendEvent_") + DrvSendEventName(code) + extra);
}

void refreshInfo() {
  getFilterInfo();
  logLine(__LINE__, "FilterState: " + std::to_string(filterState));
}

void clearMessage(uint32_t code) {
  std::memset(&msgToClient, 0, sizeof msgToClient);
  msgToClient.code = code;
}

void pushState(uint32_t reason, int owner) {
  clearMessage(MSG_STATE_CHANGED);
  msgToClient.result = filterState;
  msgToClient.value2 = reason;
  Engine_Hooks().sendToTunnelOwner(&msgToClient, owner);
}

// The clients besides the owner, after a disconnect the daemon made on its
// own: message 50 as a user's disconnect broadcasts it.
void tellTheOthers(int owner) {
  if (owner < 0) return;  // without an owner the one push went to every client
  clearMessage(MSG_STATE_CHANGED);
  msgToClient.clientN = owner;  // skipped: it has its own message
  msgToClient.result = filterState;
  Engine_Hooks().sendToClients(&msgToClient);
}

// Tells the tunnel owner once per state.
void announce(uint32_t reason) {
  if (filterState == g_notified_filterState.load()) return;
  logLine(__LINE__, "Inform GUI (clients) that filter state changed");
  pushState(reason, -1);
  g_notified_filterState.exchange(filterState);
}

void stateChanged(int32_t code) {
  std::lock_guard<std::mutex> lock(mtx_connecting_started);
  logSignal(code);
  flushDNSIf();
  refreshInfo();
  announce(STATE_MSG_CHANGED);
}

void reconnect(int32_t code) {
  getFilterInfo();
  logSignal(code, code == DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED
                      ? " (KCR: " + std::to_string(drvInfo.keyChangeError) + ")"
                      : "");
  logLine(__LINE__, "FilterState: " + std::to_string(filterState));
  int owner = g_TunnelOwnerClientN.load();
  std::unique_lock<std::mutex> lock(mtx_connecting_vesk, std::try_to_lock);
  if (!lock.owns_lock()) return;
  disConnect("Driver requested reconnect", 0, __FILE__, __LINE__);
  lock.unlock();
  pushState(STATE_MSG_RECONNECT, owner);
  tellTheOthers(owner);
  g_notified_filterState.exchange(filterState);
}

void reconnectIfNeeded(int32_t code) {
  logSignal(code);
  EngineHooks hooks = Engine_Hooks();
  uint64_t generation = hooks.statusJsonGeneration();
  refreshInfo();
  if (filterState == CS_NOINIT && !hooks.resetConnectionStatusIfStale(generation))
    logLine(__LINE__, "ERROR! Can't reset STATUS.JSON!");
  announce(STATE_MSG_RECONNECT);
}

void afterStandby(int32_t code) {
  std::lock_guard<std::mutex> lock(mtx_connecting_started);
  logSignal(code);
  refreshInfo();
  bool wasConnected = filterStatePrev == CS_CONNECT;
  disConnect(wasConnected ? "Driver after-standby reconnect" : "Driver after-standby cleanup", 0, __FILE__,
             __LINE__);
  utl_SleepMs(OnDriverEvent_StandbySleepMs);
  logLine(__LINE__, wasConnected ? "Reconnecting after standby..." : "Signal after standby...");
  clearMessage(MSG_STATE_CHANGED);
  msgToClient.clientN = -1;
  msgToClient.result = filterState;
  msgToClient.value1 = UseServiceAlternalVESKIP;
  msgToClient.value2 = wasConnected ? STATE_MSG_STANDBY_RECONNECT : STATE_MSG_STANDBY_CLEANUP;
  Engine_Hooks().sendToClients(&msgToClient);
}

void sessionEnd(int32_t code) {
  std::lock_guard<std::mutex> lock(mtx_connecting_started);
  logSignal(code);
  EngineHooks hooks = Engine_Hooks();
  if (!hooks.resetConnectionStatus()) logLine(__LINE__, "ERROR! Can't reset STATUS.JSON!");
  flushDNSIf();
  hooks.postDisconnectSettings();
  refreshInfo();
  logLine(__LINE__, "Inform GUI (clients) that session timeout");
  clearMessage(MSG_SESSION_END);
  msgToClient.result = filterState;
  msgToClient.value1 = code == DrvSendEvent_SESSION_TIMEOUT ? SESSION_END_TIMEOUT : SESSION_END_RADIUS;
  hooks.sendToTunnelOwner(&msgToClient, -1);
  g_TunnelOwnerClientN.exchange(-1);
  g_notified_filterState.exchange(filterState);
}

void accessLevel(int32_t code) {
  logSignal(code);
  uint8_t level = 0;
  int value = 0;
  int32_t r = getAccessLevel(&level, &value);
  clearMessage(MSG_ACCESS_LEVEL);
  msgToClient.result = static_cast<uint32_t>(r);
  msgToClient.value1 = level;
  msgToClient.value2 = static_cast<uint32_t>(value);
  Engine_Hooks().sendToTunnelOwner(&msgToClient, -1);
}

}  // namespace

const char* DrvSendEventName(int32_t code) {
  switch (code) {
    case DrvSendEvent_STATE_CHANGED: return "STATE_CHANGED";
    case DrvSendEvent_RECONNECT_ALWAYS: return "RECONNECT_ALWAYS";
    case DrvSendEvent_RECONNECT_IFNEEDED: return "RECONNECT_IFNEEDED";
    case DrvSendEvent_AFTER_STANDBY: return "AFTER_STANDBY";
    case DrvSendEvent_SESSION_TIMEOUT: return "SESSION_TIMEOUT";
    case DrvSendEvent_GOT_ACCESS_LEVEL: return "GOT_ACCESS_LEVEL";
    case DrvSendEvent_RECONNECT_NOKEEPALIVE: return "RECONNECT_NOKEEPALIVE";
    case DrvSendEvent_RECONNECT_NOKEYCHANGE: return "RECONNECT_NOKEYCHANGE";
    case DrvSendEvent_RADMTERMINATE: return "RADMTERMINATE";
    case DrvSendEvent_RECONNECT_KEYCHANGE_NOADAPTER: return "RECONNECT_KEYCHANGE_NOADAPTER";
    case DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM: return "RECONNECT_KEYCHANGE_NOMEM";
    case DrvSendEvent_RECONNECT_KEYCHANGE_BUILDFAIL: return "RECONNECT_KEYCHANGE_BUILDFAIL";
    case DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED: return "RECONNECT_KEYCHANGE_REJECTED";
    default: return nullptr;
  }
}

void AnnounceOwnDisconnect() { announce(STATE_MSG_CHANGED); }

void OnDriverEvent(int32_t code) {
  if (code == 0) {
    code = static_cast<int32_t>(get_event_code());
    if (code == 0) {
      logLine(__LINE__, "ZorVpnEvent: NO_EVENT");
      return;
    }
    logLine(__LINE__, "ZorVpnEvent: code " + std::to_string(code));
  }
  switch (code) {
    case DrvSendEvent_STATE_CHANGED: stateChanged(code); break;
    case DrvSendEvent_RECONNECT_ALWAYS:
    case DrvSendEvent_RECONNECT_NOKEEPALIVE:
    case DrvSendEvent_RECONNECT_NOKEYCHANGE:
    case DrvSendEvent_RECONNECT_KEYCHANGE_NOADAPTER:
    case DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM:
    case DrvSendEvent_RECONNECT_KEYCHANGE_BUILDFAIL:
    case DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED: reconnect(code); break;
    case DrvSendEvent_RECONNECT_IFNEEDED: reconnectIfNeeded(code); break;
    case DrvSendEvent_AFTER_STANDBY: afterStandby(code); break;
    case DrvSendEvent_SESSION_TIMEOUT:
    case DrvSendEvent_RADMTERMINATE: sessionEnd(code); break;
    case DrvSendEvent_GOT_ACCESS_LEVEL: accessLevel(code); break;
    default: logLine(__LINE__, "Signal from drv <unknown>"); break;
  }
}
