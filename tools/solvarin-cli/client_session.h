#pragma once
// One registered client at work: its requests on the daemon's sockets, and
// the thread that prints the daemon's pushes, answers 58 and 59, shows the
// stages of this client's connect attempt and tells when the tunnel ends.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "tools/solvarin-cli/cli_options.h"
#include "tools/solvarin-cli/client_connection.h"

class ClientSession {
 public:
  ClientSession(const ClientConnection& conn, const PushAnswers& answers) : conn_(conn), answers_(answers) {}

  int id() const { return conn_.id; }
  // Starts the push thread (detached; it lives as long as the process).
  void StartPushReader();
  // Called on the push thread after "tunnel down: REASON" has been said, and
  // with "the daemon closed the connection" when the push socket closed.
  void OnTunnelDown(std::function<void(const std::string& reason)> hook) { onDown_ = std::move(hook); }

  // A message of this client: zero but for the code and the client number.
  std::unique_ptr<ServicePipeMessage_t> NewMessage(uint32_t code) const;
  // One request on the request socket and its reply over msg (one at a
  // time across threads); false when the daemon is gone or silent.
  bool Request(ServicePipeMessage_t* msg);
  // Command code with its two values at bytes 8 and 12: the reply, or null
  // when the daemon is gone or silent.
  std::unique_ptr<ServicePipeMessage_t> Ask(uint32_t code, uint32_t first = 0, uint32_t second = 0);
  // A connect or disconnect request on the connection socket. While a
  // connect waits for its reply, pushes add "connecting: ..." lines.
  bool ConnectionRequest(ServicePipeMessage_t* msg);
  bool Connecting() const { return connecting_; }
  // The verdict this client last gave on the gateway's PKI data (59).
  int32_t PkiVerdict() const { return pkiVerdict_; }

  // What this client last learnt of the tunnel's state: a reply or a push.
  void NoteState(uint32_t state);
  bool KnownUp() const { return knownState_ == kConnected; }

 private:
  static constexpr int kConnected = 7, kUnknown = -1;
  void readPushes();
  void handlePush(ServicePipeMessage_t* msg);
  void tunnelDown(const std::string& reason);
  void awaitPushesBefore();

  ClientConnection conn_;
  PushAnswers answers_;
  std::mutex requestLock_, connectionLock_;
  // Held by the push thread from taking a push's first byte until it has
  // dealt with it.
  std::mutex pushLock_;
  std::atomic<bool> connecting_{false};
  std::atomic<int> knownState_{kUnknown};
  std::atomic<int32_t> pkiVerdict_{0};
  std::function<void(const std::string&)> onDown_;
};
