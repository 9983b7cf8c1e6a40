#include "Service/common/core/connect_requests.h"
#include "tools/solvarin-cli/client_session.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "cross/utils/socket_io.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/push_answers.h"
#include "tools/solvarin-cli/push_words.h"

namespace {

// Replies on the request socket come at once but for the slow commands
// (28 and 21 wait for NetworkManager or the filter's dump).
const int kRequestReplyMs = 120000;
// A connect attempt ends by its own stage time-outs, but a push deadline
// may hold it for minutes, and a disconnect waits for it.
const int kConnectionReplyMs = 600000;
// How long a reply waits for the pushes sent before it to be dealt with.
const int kPushDrainMs = 1000;

}  // namespace

std::unique_ptr<ServicePipeMessage_t> ClientSession::NewMessage(uint32_t code) const {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0, sizeof *msg);
  msg->code = code;
  msg->clientN = conn_.id;
  return msg;
}

std::unique_ptr<ServicePipeMessage_t> ClientSession::Ask(uint32_t code, uint32_t first, uint32_t second) {
  auto msg = NewMessage(code);
  msg->result = first;
  msg->value1 = second;
  if (!Request(msg.get())) return nullptr;
  return msg;
}

void ClientSession::StartPushReader() { std::thread(&ClientSession::readPushes, this).detach(); }

bool ClientSession::Request(ServicePipeMessage_t* msg) {
  std::lock_guard<std::mutex> lock(requestLock_);
  return Exchange(conn_.requestSock, msg, kRequestReplyMs);
}

bool ClientSession::ConnectionRequest(ServicePipeMessage_t* msg) {
  std::lock_guard<std::mutex> lock(connectionLock_);
  bool connect = msg->code == IPC_CMD_CONNECT || msg->code == IPC_CMD_CONNECT_ALT;
  if (connect) pkiVerdict_ = 0;
  connecting_ = connect;
  bool answered = Exchange(conn_.connectionSock, msg, kConnectionReplyMs);
  if (connect) awaitPushesBefore();
  connecting_ = false;
  return answered;
}

// The daemon pushes a connect's stages before it replies, but on another
// socket: the reply waits until the pushes already there are dealt with,
// so that their progress lines come first.
void ClientSession::awaitPushesBefore() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPushDrainMs);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(pushLock_);
      int unread = 0;
      if (ioctl(conn_.pushSock, FIONREAD, &unread) != 0 || unread == 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ClientSession::NoteState(uint32_t state) {
  int before = knownState_.exchange(static_cast<int>(state));
  if (before == kConnected && state != kConnected) tunnelDown("disconnected by this client");
}

void ClientSession::tunnelDown(const std::string& reason) {
  Say("tunnel down: " + reason);
  if (onDown_) onDown_(reason);
}

void ClientSession::readPushes() {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  char* bytes = reinterpret_cast<char*>(msg.get());
  for (;;) {
    pollfd ready{conn_.pushSock, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    std::lock_guard<std::mutex> lock(pushLock_);
    if (recv_sn(conn_.pushSock, bytes, IPC_MESSAGE_SIZE, 0) != static_cast<int>(IPC_MESSAGE_SIZE)) break;
    handlePush(msg.get());
    if (!IPC_IsSynchronousPush(msg->code) || !answers_.answer) continue;
    AnswerPush(msg.get(), answers_);
    if (msg->code == IPC_MSG_CHECK_PKI) pkiVerdict_ = static_cast<int32_t>(msg->value2);
    if (send_sn(conn_.pushSock, bytes, IPC_MESSAGE_SIZE, 0) < 0) break;
    Say("answered " + DescribeMessage(*msg));
  }
  Say("push socket closed");
  if (onDown_) onDown_("the daemon closed the connection");
}

void ClientSession::handlePush(ServicePipeMessage_t* msg) {
  Say("push " + DescribeMessage(*msg));
  std::string words = DescribePush(*msg);
  if (!words.empty()) Say("  = " + words);
  if (connecting_ && !ConnectProgress(*msg).empty()) Say(ConnectProgress(*msg));
  std::string down = TunnelDownReason(*msg, conn_.id);
  if (!down.empty() && knownState_.exchange(0) != 0) tunnelDown(down);
  if (msg->code == 50 && msg->result == kConnected) knownState_ = kConnected;
}
