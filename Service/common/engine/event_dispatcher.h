#pragma once
// OnDriverEvent: fetches one event code from the filter (code 0) or takes
// the given one, and acts on it: announces state changes to the clients,
// disconnects when the filter asks for a reconnect, cleans up after a
// session end, handles the return from stand-by, passes the access level on.
#include <cstdint>

#include "cross/utils/ipc_message.h"
#include "kernel/include/drv_events.h"

// What the gateway socket passes when it failed while connected (no name).
constexpr int32_t DRV_EVENT_SOCKET_ERROR = 2005;

// "STATE_CHANGED" .. ; null for codes without a name.
const char* DrvSendEventName(int32_t code);

// Pushed message codes of the dispatcher.
enum : uint32_t {
  MSG_STATE_CHANGED = 50,
  MSG_SESSION_END = 63,
  MSG_ACCESS_LEVEL = 64,
};
enum : uint32_t {  // +16 of message 50
  STATE_MSG_CHANGED = 0,
  STATE_MSG_RECONNECT = 1,
  STATE_MSG_STANDBY_RECONNECT = 2,
  STATE_MSG_STANDBY_CLEANUP = 3,
};
enum : uint32_t { SESSION_END_TIMEOUT = 74, SESSION_END_RADIUS = 68 };

// The one message the dispatcher pushes.
extern ServicePipeMessage_t msgToClient;
// Sleep after a stand-by disconnect (ms); tests shorten it.
extern unsigned OnDriverEvent_StandbySleepMs;

void OnDriverEvent(int32_t code);
// Tells the clients of a disconnect the daemon made on its own, without
// waiting for the filter's event (which may never come): message 50 with
// the state, to the tunnel owner's route (every client once nobody owns the
// tunnel), once per state as the events announce it.
void AnnounceOwnDisconnect();
