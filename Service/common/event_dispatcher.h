#pragma once
// OnDriverEvent: fetches one event code from the filter (code 0) or takes
// the given one, and acts on it: announces state changes to the clients,
// disconnects when the filter asks for a reconnect, cleans up after a
// session end, handles the return from stand-by, passes the access level on.
#include <cstdint>

#include "cross/utils/ipc_message.h"

enum DrvSendEventCode : int32_t {
  DrvSendEvent_STATE_CHANGED = 1,
  DrvSendEvent_RECONNECT_ALWAYS = 3,
  DrvSendEvent_RECONNECT_IFNEEDED = 4,
  DrvSendEvent_AFTER_STANDBY = 6,
  DrvSendEvent_SESSION_TIMEOUT = 9,
  DrvSendEvent_GOT_ACCESS_LEVEL = 10,
  DrvSendEvent_RECONNECT_NOKEEPALIVE = 11,
  DrvSendEvent_RECONNECT_NOKEYCHANGE = 12,
  DrvSendEvent_RADMTERMINATE = 13,
  DrvSendEvent_RECONNECT_KEYCHANGE_NOADAPTER = 14,
  DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM = 15,
  DrvSendEvent_RECONNECT_KEYCHANGE_BUILDFAIL = 16,
  DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED = 17,
  DRV_EVENT_SOCKET_ERROR = 2005,  // the gateway socket failed while connected
};
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
