#include "tests/host/netlink_client.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testnl {

uint32_t u32_at(const std::vector<uint8_t> &b, size_t off) {
  uint32_t v = 0;
  if (off + 4 <= b.size()) std::memcpy(&v, b.data() + off, 4);
  return v;
}

std::vector<uint8_t> message(uint16_t type, uint16_t flags, uint32_t seq,
                             const std::vector<uint8_t> &body) {
  std::vector<uint8_t> m(16 + body.size());
  uint32_t len = static_cast<uint32_t>(m.size()), pid = static_cast<uint32_t>(getpid());
  std::memcpy(&m[0], &len, 4);
  std::memcpy(&m[4], &type, 2);
  std::memcpy(&m[6], &flags, 2);
  std::memcpy(&m[8], &seq, 4);
  std::memcpy(&m[12], &pid, 4);
  if (!body.empty()) std::memcpy(&m[16], body.data(), body.size());
  return m;
}

std::vector<uint8_t> attribute(uint16_t type, const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> a(4 + payload.size());
  uint16_t len = static_cast<uint16_t>(a.size());
  std::memcpy(&a[0], &len, 2);
  std::memcpy(&a[2], &type, 2);
  if (!payload.empty()) std::memcpy(&a[4], payload.data(), payload.size());
  a.resize((a.size() + 3) & ~size_t{3}, 0);
  return a;
}

Client::Client(uint32_t host_port) : host_port_(host_port) {
  sock_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  socklen_t len = sizeof self;
  if (sock_ < 0 || bind(sock_, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0 ||
      getsockname(sock_, reinterpret_cast<sockaddr *>(&self), &len) != 0)
    throw std::runtime_error("netlink client socket");
  port_ = self.nl_pid;
}

Client::~Client() {
  if (sock_ >= 0) close(sock_);
}

bool Client::send_raw(const std::vector<uint8_t> &bytes) {
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = host_port_;
  return sendto(sock_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to),
                sizeof to) == static_cast<ssize_t>(bytes.size());
}

// A signal (libFuzzer's timeout alarm among them) does not end the wait early.
std::optional<std::vector<uint8_t>> Client::receive(int timeout_ms) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fd{sock_, POLLIN, 0};
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    int r = poll(&fd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (r > 0) break;
    if (r == 0 || errno != EINTR) return std::nullopt;
  }
  std::vector<uint8_t> buf(70000);
  ssize_t n;
  do n = recv(sock_, buf.data(), buf.size(), 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

void Client::drain() {
  while (receive(0)) {
  }
}

int Client::lookup_family(const std::string &name, int timeout_ms) {
  std::vector<uint8_t> text(name.begin(), name.end());
  text.push_back(0);
  std::vector<uint8_t> body = {3, 1, 0, 0};  // CTRL_CMD_GETFAMILY, version 1
  std::vector<uint8_t> a = attribute(2, text);
  body.insert(body.end(), a.begin(), a.end());
  if (!send_raw(message(0x10, NLM_F_REQUEST, 0, body))) return -1;
  auto reply = receive(timeout_ms);
  if (!reply || reply->size() < 16) return -1;
  std::vector<uint8_t> &r = *reply;
  if (r.size() > 276) r.resize(276);  // the daemon reads 276 bytes
  uint32_t len = u32_at(r, 0);
  uint16_t type;
  std::memcpy(&type, &r[4], 2);
  if (len < 16 || type == NLMSG_ERROR || r.size() < 24) return -1;
  uint16_t first;
  std::memcpy(&first, &r[20], 2);
  size_t next = 20 + ((first + 3u) & ~3u);
  if (next + 6 > r.size()) return -1;
  uint16_t atype, id;
  std::memcpy(&atype, &r[next + 2], 2);
  std::memcpy(&id, &r[next + 4], 2);
  return atype == 1 ? id : -1;
}

std::optional<std::vector<uint8_t>> Client::ioctl(uint16_t family, uint32_t code,
                                                  const std::vector<uint8_t> &data,
                                                  int timeout_ms) {
  // SendIRP's framing: u32 total length (itself included), then the data;
  // in front the code, all in attribute 1 of command 1.
  uint32_t total = static_cast<uint32_t>(data.size() + 4);
  std::vector<uint8_t> payload(8 + data.size());
  std::memcpy(&payload[0], &code, 4);
  std::memcpy(&payload[4], &total, 4);
  if (!data.empty()) std::memcpy(&payload[8], data.data(), data.size());
  std::vector<uint8_t> body = {1, 1, 0, 0};
  std::vector<uint8_t> a = attribute(1, payload);
  body.insert(body.end(), a.begin(), a.end());
  if (!send_raw(message(family, NLM_F_REQUEST, 50, body))) return std::nullopt;
  auto reply = receive(timeout_ms);
  if (!reply || reply->size() < 24) return std::nullopt;
  std::vector<uint8_t> &r = *reply;
  uint16_t type, alen, atype;
  std::memcpy(&type, &r[4], 2);
  std::memcpy(&alen, &r[20], 2);
  std::memcpy(&atype, &r[22], 2);
  if (type != family || u32_at(r, 8) != 50 || r[16] != 1 || atype != 1 || alen < 8 ||
      alen > u32_at(r, 0) - 20)
    return std::nullopt;
  return std::vector<uint8_t>(r.begin() + 24, r.begin() + 20 + alen);
}

}  // namespace testnl
