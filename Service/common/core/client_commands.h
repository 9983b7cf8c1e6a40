#pragma once
// The dispatcher of the commands that client programs send on the request
// socket: one command at a time for all clients, a fresh reply written over
// the request, and for some commands a broadcast to every other client.
#include <cstdint>
#include <mutex>

#include "cross/utils/ipc_message.h"

enum ClientCommand : uint32_t {
  IPC_CMD_UNREGISTER = 0,
  IPC_CMD_GET_STATE = 1,
  IPC_CMD_GET_GATEWAY_CFG = 5,
  IPC_CMD_GET_FLUSHDNS = 10,
  IPC_CMD_SET_FLUSHDNS = 11,
  IPC_CMD_SET_RESTARTADAPTERS = 12,
  IPC_CMD_GET_RESTARTADAPTERS = 13,
  IPC_CMD_GET_RULES = 14,
  IPC_CMD_GET_SS_LIST = 15,
  IPC_CMD_SET_RULES = 16,
  IPC_CMD_SET_SS_LIST = 17,
  IPC_CMD_GET_STATISTICS = 18,
  IPC_CMD_GET_DRV_QUEUES = 19,
  IPC_CMD_GET_DRV_INFO = 20,
  IPC_CMD_DEBUG_INFO = 21,
  IPC_CMD_GET_VERSION = 22,
  IPC_CMD_SET_TUNNEL_GROUP = 23,
  IPC_CMD_SET_HOST_WHITELIST = 24,
  IPC_CMD_SET_IP_WHITELIST = 25,
  IPC_CMD_SET_PROTOCOLS_WHITELIST = 26,
  IPC_CMD_SET_FAIL_RATE = 27,
  IPC_CMD_APPLY_DNS_SUFFIXES = 28,
  IPC_CMD_PING = 29,
  IPC_CMD_INTERRUPT_CONNECT = 30,
  IPC_CMD_FIND_SESSION_HELPER = 31,
  IPC_CMD_LIST_NICS = 32,
  IPC_CMD_ADAPTER_MTU = 33,
  IPC_CMD_GET_FIREWALL_INFO = 35,
  IPC_CMD_SET_RADIUS_CREDENTIALS = 37,
  IPC_CMD_RESERVED_38 = 38,
  IPC_CMD_RESERVED_39 = 39,
  IPC_CMD_COUNT_WINDOWS = 40,
  IPC_CMD_RESERVED_41 = 41,
};

// Command 1's reply: result = filterState (0 for a client that does not own
// the tunnel while another does); with the state, value1 (byte 12) is
// IPC_STATE_ATTEMPT_RUNNING while a connect attempt runs, else 0. A state
// of 1 to 6 without it is an attempt that failed and left the filter at
// that stage (a connect with the same data resumes there).
constexpr uint32_t IPC_STATE_ATTEMPT_RUNNING = 1;

// Messages the dispatcher and the connect requests broadcast.
enum BroadcastCode : uint32_t {
  IPC_MSG_NONE = 43,  // nothing to send
  IPC_MSG_STATE_CHANGED = 50,
  IPC_MSG_RULES_CHANGED = 51,
  IPC_MSG_SS_LIST_CHANGED = 52,
  IPC_MSG_WINDOW_COUNT = 65,
};

// Held for the whole of one command.
extern std::mutex mtx_process_message;

namespace core {
// Answers one request of the client-server socket over *message. Codes
// above 41 and those without an entry here come back unchanged.
void AnswerClientMessage(ServicePipeMessage_t* message);
}  // namespace core
