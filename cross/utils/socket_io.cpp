#include "cross/utils/socket_io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "cross/utils/log.h"

namespace {

bool badArguments(int fd, const char* buf, int len) { return buf == nullptr || len < 1 || fd < 0; }

// One log entry with this line of this file and the given function name.
#define logError(function, text) GetLog().WriteToLogFL(__FILE__, __LINE__, function, std::string(text).c_str())

// One recv into the rest of buf, advancing *done: 0 means "read on" (bytes
// came, or EAGAIN/EINTR), anything else is the result that ends the receive.
int recvStep(int fd, char* buf, int len, int* done, int flags) {
  ssize_t n = recv(fd, buf + *done, static_cast<size_t>(len - *done), flags);
  if (n > 0) {
    *done += static_cast<int>(n);
    return 0;
  }
  if (n == 0) return SN_PEER_CLOSED;
  int err = errno;
  if (err == EBADF || err == ECONNRESET || err == ENOTCONN) return SN_PEER_GONE;
  if (err == EAGAIN || err == EINTR) return 0;
  logError("recv_sn", "recv_sn => reading socket error: " + std::to_string(err));
  return SN_OTHER_ERROR;
}

}  // namespace

int send_sn(int fd, const char* buf, int len, int flags) {
  if (badArguments(fd, buf, len)) return SN_BAD_ARGUMENTS;
  int done = 0;
  while (done < len) {
    ssize_t n = send(fd, buf + done, static_cast<size_t>(len - done), flags | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    int err = errno;
    if (err == EBADF || err == ECONNRESET || err == ENOTCONN || err == EPIPE) return SN_PEER_GONE;
    if (err == EAGAIN || err == EINTR) continue;
    logError("send_sn", "send_sn => writing socket error: " + std::to_string(err));
    return SN_OTHER_ERROR;
  }
  return len;
}

int recv_sn(int fd, char* buf, int len, int flags) {
  if (badArguments(fd, buf, len)) return SN_BAD_ARGUMENTS;
  int done = 0;
  while (done < len) {
    int result = recvStep(fd, buf, len, &done, flags);
    if (result != 0) return result;
  }
  return len;
}

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, 0 when it has passed.
int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Readable once IPC_CancelPushAnswers was called; never reset.
int answersCancelled() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

// Waits for events on fd until deadline: true when poll reported the socket
// (ready or in error: the next call tells which), false once the time is up
// or, with cancellable, once the answers were cancelled.
bool readyBefore(int fd, short events, Clock::time_point deadline, bool cancellable = false) {
  for (;;) {
    int left = msLeft(deadline);
    if (left == 0) return false;
    pollfd p[2] = {{fd, events, 0}, {answersCancelled(), POLLIN, 0}};
    int ready = poll(p, cancellable ? 2 : 1, left);
    if (ready > 0) return p[1].revents == 0;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// One non-blocking send of the rest of buf, advancing *done; 0 means "send
// on", anything else is the result that ends the send.
int sendStep(int fd, const char* buf, int len, int* done) {
  ssize_t n = send(fd, buf + *done, static_cast<size_t>(len - *done), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n > 0) {
    *done += static_cast<int>(n);
    return 0;
  }
  int err = errno;
  if (err == EBADF || err == ECONNRESET || err == ENOTCONN || err == EPIPE) return SN_PEER_GONE;
  if (err == EAGAIN || err == EINTR) return 0;
  return SN_OTHER_ERROR;
}

int recvWithin(int fd, char* buf, int len, int timeoutMs, bool cancellable) {
  if (badArguments(fd, buf, len)) return SN_BAD_ARGUMENTS;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int done = 0;
  while (done < len) {
    if (!readyBefore(fd, POLLIN, deadline, cancellable)) return SN_OTHER_ERROR;
    int result = recvStep(fd, buf, len, &done, MSG_DONTWAIT);
    if (result != 0) return result;
  }
  return len;
}

// What a failed send of a push means: a peer that is gone, or one that took
// nothing in time.
PushResult pushFailure(int sent) {
  logError("IPC_Proceed", "IPC_Proceed: send failed, code " + std::to_string(sent));
  return sent == SN_OTHER_ERROR ? PUSH_NOT_TAKEN : PUSH_NOT_SENT;
}

}  // namespace

int recv_sn_within(int fd, char* buf, int len, int timeoutMs) { return recvWithin(fd, buf, len, timeoutMs, false); }

int send_sn_within(int fd, const char* buf, int len, int timeoutMs) {
  if (badArguments(fd, buf, len)) return SN_BAD_ARGUMENTS;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int done = 0;
  while (done < len) {
    if (!readyBefore(fd, POLLOUT, deadline)) return SN_OTHER_ERROR;
    int result = sendStep(fd, buf, len, &done);
    if (result != 0) return result;
  }
  return len;
}

std::atomic<int> push_send_timeout_ms{2000};
std::atomic<int> push_answer_timeout_ms{120000};

PushResult IPC_Proceed(ServicePipeMessage_t* msg, int fd) {
  char* bytes = reinterpret_cast<char*>(msg);
  int sent = send_sn_within(fd, bytes, IPC_MESSAGE_SIZE, push_send_timeout_ms);
  if (sent < 0) return pushFailure(sent);
  if (!IPC_IsSynchronousPush(msg->code)) return PUSH_DONE;
  int got = recvWithin(fd, bytes, IPC_MESSAGE_SIZE, push_answer_timeout_ms, true);
  if (got < 0) {
    logError("IPC_Proceed", "IPC_Proceed: recv failed, code " + std::to_string(got));
    return PUSH_NO_ANSWER;
  }
  return PUSH_DONE;
}

std::vector<PushResult> IPC_ProceedAll(const ServicePipeMessage_t* msg, const std::vector<int>& fds, int timeoutMs) {
  const char* bytes = reinterpret_cast<const char*>(msg);
  const int len = IPC_MESSAGE_SIZE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<int> done(fds.size(), 0), outcome(fds.size(), 0);  // outcome 0: still sending
  for (size_t i = 0; i < fds.size(); i++) {
    if (fds[i] < 0) outcome[i] = SN_BAD_ARGUMENTS;
  }
  for (;;) {
    std::vector<pollfd> waiting;
    std::vector<size_t> which;
    for (size_t i = 0; i < fds.size(); i++) {
      if (outcome[i] != 0) continue;
      waiting.push_back({fds[i], POLLOUT, 0});
      which.push_back(i);
    }
    int left = msLeft(deadline);
    if (waiting.empty() || left == 0) break;
    int ready = poll(waiting.data(), waiting.size(), left);
    if (ready < 0 && errno != EINTR) break;
    for (size_t k = 0; ready > 0 && k < waiting.size(); k++) {
      if (waiting[k].revents == 0) continue;
      size_t i = which[k];
      int r = sendStep(fds[i], bytes, len, &done[i]);
      outcome[i] = r != 0 ? r : done[i] == len ? len : 0;
    }
  }
  std::vector<PushResult> results(fds.size(), PUSH_DONE);
  for (size_t i = 0; i < fds.size(); i++) {
    if (outcome[i] != len) results[i] = pushFailure(outcome[i] != 0 ? outcome[i] : SN_OTHER_ERROR);
  }
  return results;
}

void IPC_CancelPushAnswers() {
  uint64_t one = 1;
  ssize_t ignored = write(answersCancelled(), &one, sizeof one);
  (void)ignored;
}
