#pragma once
// The calls that the IPC server makes into the service core and the
// connection engine, and the tunnel owner they share. Each call goes through
// a handler table: the service core installs its own handlers at start-up
// (before StartConnections); until then the standing handlers below answer.
#include <atomic>

#include "cross/utils/ipc_message.h"

// Client id of the tunnel owner; -1 when there is none.
extern std::atomic<int> g_TunnelOwnerClientN;

struct ServiceHandlers {
  // A request of the client-server socket; the reply overwrites it.
  void (*answerClientMessage)(ServicePipeMessage_t* msg);
  // A connect or disconnect request of the connection socket, likewise.
  void (*answerClientConnectRequest)(ServicePipeMessage_t* msg);
  // Tears the tunnel down; fromUser is 0 when the service ends it.
  int (*disConnect)(const char* reason, int fromUser, const char* file, int line);
  // Restores the DNS suffixes saved before the connection.
  void (*restoreSuffixesAfterUnmanagedDisconnect)(const char* reason);
};

// The standing handlers: requests go back unchanged; disConnect clears the
// tunnel owner and logs the reason; nothing is restored.
ServiceHandlers IPC_StandingServiceHandlers();
// Installs handlers (a null member keeps the standing one); returns the
// table that was in force.
ServiceHandlers IPC_SetServiceHandlers(const ServiceHandlers& handlers);

void AnswerClientMessage(ServicePipeMessage_t* msg);
void AnswerClientConnectRequest(ServicePipeMessage_t* msg);
int disConnect(const char* reason, int fromUser, const char* file, int line);
void RestoreSuffixesAfterUnmanagedDisconnect(const char* reason);
