// A scripted filter endpoint on NETLINK_USERSOCK for the engine's tests: it
// answers the family look-ups and hands every request to a script that
// returns the reply datagram (or nothing: no answer). Either it plays a
// filter itself, or it forwards to zornfhost and counts what passes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace enginetest {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kPeerRequestFamily = 0x5A10;
constexpr uint16_t kPeerEventFamily = 0x5A11;

struct Request {
  Bytes message;     // the whole netlink message as it came
  uint32_t sender;   // the sender's port
  uint32_t code;     // the request code in the attribute
  Bytes data;        // the data area after the code (length prefix first)
};

// The regular reply to a request: its data area as the filter left it.
Bytes ReplyWith(const Request& req, const Bytes& area);
// The data area a framed reply carries: answer word, header, payload.
Bytes FramedArea(uint8_t state, int32_t status, const Bytes& payload, uint16_t magic = 0x0209);
uint32_t U32(const Bytes& b, size_t at);
void Put32(Bytes& b, size_t at, uint32_t v);
void Put16(Bytes& b, size_t at, uint16_t v);

class NetlinkPeer {
 public:
  using Script = std::function<std::optional<Bytes>(const Request&)>;
  // Binds a port of its own in the caller's network namespace.
  NetlinkPeer();
  ~NetlinkPeer();
  NetlinkPeer(const NetlinkPeer&) = delete;
  NetlinkPeer& operator=(const NetlinkPeer&) = delete;

  uint32_t port() const { return port_; }
  void set_script(Script s);
  // A script that forwards every request to zornfhost's port (the peer
  // then answers look-ups with zornfhost's family ids).
  Script forward_to(uint32_t hostPort, uint16_t requestFamily, uint16_t eventFamily);
  int lookups() const { return lookups_; }
  int requests(uint32_t code);
  int total_requests();

 private:
  void serve();
  int sock_ = -1, stop_ = -1, forward_ = -1;
  uint32_t port_ = 0;
  std::mutex mtx_;
  Script script_;
  std::map<uint32_t, int> counts_;
  std::atomic<int> lookups_{0};
  std::atomic<uint16_t> requestFamily_{kPeerRequestFamily}, eventFamily_{kPeerEventFamily};
  std::thread thread_;
};

}  // namespace enginetest
