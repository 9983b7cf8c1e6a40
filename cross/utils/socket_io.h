#pragma once
// Whole-buffer transfers on a stream socket. Results: len when all bytes
// moved; -1 bad arguments (null buffer, len < 1, fd < 0; nothing moved);
// -2 peer gone or connection broken; -3 closed by the peer (receive only);
// -42 any other error (logged).
#include <atomic>
#include <vector>

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

// send_sn that gives up after timeoutMs milliseconds without the whole
// buffer sent, with SN_OTHER_ERROR (not logged): for peers that may stop
// reading.
int send_sn_within(int fd, const char* buf, int len, int timeoutMs);

// How long one push may wait for room in a client's socket, in
// milliseconds; a client that takes nothing for so long is dropped.
extern std::atomic<int> push_send_timeout_ms;

// How long a client may take to answer a synchronous push, in milliseconds;
// a silent client is given up so that it cannot hold up every other push.
extern std::atomic<int> push_answer_timeout_ms;

enum PushResult {
  PUSH_DONE = 1,        // sent (and for a synchronous push, answered)
  PUSH_NO_ANSWER = 0,   // sent, but the answer did not come
  PUSH_NOT_SENT = -1,   // the peer is gone, or its socket failed
  PUSH_NOT_TAKEN = -2,  // not taken in the time given: the client reads nothing
};
// Sends msg within push_send_timeout_ms; for the synchronous push codes then
// reads the client's answer into msg, waiting at most push_answer_timeout_ms.
// Failures are logged. Never closes the socket.
PushResult IPC_Proceed(ServicePipeMessage_t* msg, int fd);
// Sends msg to every socket of fds at once, all within one deadline of
// timeoutMs, so that sockets that take nothing cost that time once however
// many they are; no answer is read. One result per socket, in their order;
// failures are logged as IPC_Proceed's.
std::vector<PushResult> IPC_ProceedAll(const ServicePipeMessage_t* msg, const std::vector<int>& fds, int timeoutMs);
// Ends every wait for the answer to a synchronous push, now and from now on
// (PUSH_NO_ANSWER): for the shutdown, which waits for no client.
void IPC_CancelPushAnswers();
