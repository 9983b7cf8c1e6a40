#pragma once
// Whole-buffer transfers on a stream socket. Results: len when all bytes
// moved; -1 bad arguments (null buffer, len < 1, fd < 0; nothing moved);
// -2 peer gone or connection broken; -3 closed by the peer (receive only);
// -42 any other error (logged).
#include <atomic>

#include "cross/utils/ipc_message.h"

enum {
  SN_BAD_ARGUMENTS = -1,
  SN_PEER_GONE = -2,
  SN_PEER_CLOSED = -3,
  SN_OTHER_ERROR = -42,
};

// Sends all len bytes; MSG_NOSIGNAL is always added, so a vanished peer never
// raises SIGPIPE. EINTR and EAGAIN repeat the send.
int send_sn(int fd, const char* buf, int len, int flags);

// Receives all len bytes. EINTR and EAGAIN repeat the read, so a receive
// time-out on the socket never ends the wait.
int recv_sn(int fd, char* buf, int len, int flags);

// recv_sn that gives up after timeoutMs milliseconds without the whole
// buffer, with SN_OTHER_ERROR (not logged): for peers that must answer in time.
int recv_sn_within(int fd, char* buf, int len, int timeoutMs);

// How long a client may take to answer a synchronous push, in milliseconds;
// a silent client is given up so that it cannot hold up every other push.
extern std::atomic<int> push_answer_timeout_ms;

// Sends msg; for the synchronous push codes then reads the client's answer
// into msg, waiting at most push_answer_timeout_ms. 1 on success, 0 on
// failure (logged). Never closes the socket.
int IPC_Proceed(ServicePipeMessage_t* msg, int fd);
