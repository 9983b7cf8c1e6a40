#include "cross/utils/service_hooks.h"

#include <mutex>
#include <string>

#include "cross/utils/log.h"

std::atomic<int> g_TunnelOwnerClientN{-1};

namespace {

void answerUnchanged(ServicePipeMessage_t*) {}

int clearOwner(const char* reason, int fromUser, const char* file, int line) {
  g_TunnelOwnerClientN = -1;
  std::string text = std::string("Disconnect: ") + (reason != nullptr ? reason : "") +
                     (fromUser ? " (by the user)" : " (by the service)");
  GetLog().WriteToLogFL(file != nullptr ? file : __FILE__, line, "disConnect", text.c_str());
  return 0;
}

void restoreNothing(const char*) {}

std::mutex g_handlersLock;
ServiceHandlers g_handlers = {answerUnchanged, answerUnchanged, clearOwner, restoreNothing};

ServiceHandlers current() {
  std::lock_guard<std::mutex> lock(g_handlersLock);
  return g_handlers;
}

}  // namespace

ServiceHandlers IPC_StandingServiceHandlers() {
  return {answerUnchanged, answerUnchanged, clearOwner, restoreNothing};
}

ServiceHandlers IPC_SetServiceHandlers(const ServiceHandlers& handlers) {
  ServiceHandlers standing = IPC_StandingServiceHandlers();
  std::lock_guard<std::mutex> lock(g_handlersLock);
  ServiceHandlers previous = g_handlers;
  g_handlers.answerClientMessage =
      handlers.answerClientMessage ? handlers.answerClientMessage : standing.answerClientMessage;
  g_handlers.answerClientConnectRequest = handlers.answerClientConnectRequest
                                              ? handlers.answerClientConnectRequest
                                              : standing.answerClientConnectRequest;
  g_handlers.disConnect = handlers.disConnect ? handlers.disConnect : standing.disConnect;
  g_handlers.restoreSuffixesAfterUnmanagedDisconnect =
      handlers.restoreSuffixesAfterUnmanagedDisconnect ? handlers.restoreSuffixesAfterUnmanagedDisconnect
                                                       : standing.restoreSuffixesAfterUnmanagedDisconnect;
  return previous;
}

void AnswerClientMessage(ServicePipeMessage_t* msg) { current().answerClientMessage(msg); }

void AnswerClientConnectRequest(ServicePipeMessage_t* msg) { current().answerClientConnectRequest(msg); }

int disConnect(const char* reason, int fromUser, const char* file, int line) {
  return current().disConnect(reason, fromUser, file, line);
}

void RestoreSuffixesAfterUnmanagedDisconnect(const char* reason) {
  current().restoreSuffixesAfterUnmanagedDisconnect(reason);
}
