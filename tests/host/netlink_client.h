// A raw NETLINK_USERSOCK client that speaks to zornfhost's control endpoint
// with the bytes the daemon sends: family look-up, framed requests of
// command 1 / attribute 1, and whatever a test wants to send raw.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testnl {

class Client {
 public:
  // Opens a socket (in the caller's network namespace) with a port of its own.
  explicit Client(uint32_t host_port);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  uint32_t port() const { return port_; }
  // The family id as the daemon reads it from the controller's reply
  // (second attribute, type 1), or -1.
  int lookup_family(const std::string &name, int timeout_ms = 1000);
  // One request: `data` is the request's data area after the u32 length
  // prefix; on return the reply's whole data area (prefix included).
  std::optional<std::vector<uint8_t>> ioctl(uint16_t family, uint32_t code,
                                            const std::vector<uint8_t> &data,
                                            int timeout_ms = 2000);
  bool send_raw(const std::vector<uint8_t> &bytes);
  std::optional<std::vector<uint8_t>> receive(int timeout_ms);
  // Throws away whatever is waiting (late replies of earlier tries).
  void drain();

 private:
  int sock_ = -1;
  uint32_t host_port_;
  uint32_t port_ = 0;
};

// A netlink message: header (len filled in), optional genl header, payload.
std::vector<uint8_t> message(uint16_t type, uint16_t flags, uint32_t seq,
                             const std::vector<uint8_t> &body);
std::vector<uint8_t> attribute(uint16_t type, const std::vector<uint8_t> &payload);
uint32_t u32_at(const std::vector<uint8_t> &b, size_t off);

}  // namespace testnl
