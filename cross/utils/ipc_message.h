#pragma once
// The one record exchanged with client programs over the IPC sockets: always
// 18432 bytes, sent and received whole, integers little-endian. A reply is
// written over the request in the same buffer.
#include <cstddef>
#include <cstdint>

enum : uint32_t {
  IPC_MESSAGE_SIZE = 18432,
  IPC_PAYLOAD_SIZE = IPC_MESSAGE_SIZE - 20,
};

// Pushed message codes the IPC layer itself acts on.
enum : uint32_t {
  IPC_MSG_SERVICE_STOPPING = 45,  // marks every client that receives it closed
  IPC_MSG_SIGN_SYN = 58,          // the client's answer overwrites the message
  IPC_MSG_CHECK_PKI = 59,         // the client's answer overwrites the message
};

struct ServicePipeMessage_t {
  uint32_t code;      // command code (client to daemon) or message code (push)
  int32_t clientN;    // client the message concerns or comes from; -1 none / all
  uint32_t result;    // result or state value
  uint32_t value1;    // first code-specific value
  uint32_t value2;    // second code-specific value
  uint8_t payload[IPC_PAYLOAD_SIZE];
};
static_assert(sizeof(ServicePipeMessage_t) == IPC_MESSAGE_SIZE);
static_assert(offsetof(ServicePipeMessage_t, payload) == 20);

// True for the codes whose push waits for the client's answer.
inline bool IPC_IsSynchronousPush(uint32_t code) {
  return code == IPC_MSG_SIGN_SYN || code == IPC_MSG_CHECK_PKI;
}

// Where client programs reach the daemon.
#define IPC_RUN_DIR "/var/run/solvarin"
#define IPC_CLIENT_SERVER_SOCKET IPC_RUN_DIR "/solvarin_cl_srv_ipc.socket"
#define IPC_SERVER_CLIENT_SOCKET IPC_RUN_DIR "/solvarin_srv_cl_ipc.socket"
#define IPC_CONNECTION_SOCKET IPC_RUN_DIR "/solvarin_connection_ipc.socket"

// The registration hello (client to daemon: byte 0 the client kind) and its
// answer (daemon to client: zeros, the client id at bytes 1..4) are 128 bytes.
enum : uint32_t { IPC_HELLO_SIZE = 128 };
