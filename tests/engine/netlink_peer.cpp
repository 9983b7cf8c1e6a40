#include "tests/engine/netlink_peer.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace enginetest {

uint32_t U32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
  return v;
}
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void Put16(Bytes& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

Bytes ReplyWith(const Request& req, const Bytes& area) {
  size_t alen = 4 + area.size();
  Bytes m(20 + ((alen + 3) & ~size_t{3}), 0);
  Put32(m, 0, static_cast<uint32_t>(m.size()));
  std::memcpy(&m[4], &req.message[4], 2);  // type: the family
  Put32(m, 8, U32(req.message, 8));        // sequence
  m[16] = req.message[16];
  m[17] = 1;
  Put16(m, 20, static_cast<uint16_t>(alen));
  Put16(m, 22, 1);
  if (!area.empty()) std::memcpy(&m[24], area.data(), area.size());
  return m;
}

Bytes FramedArea(uint8_t state, int32_t status, const Bytes& payload, uint16_t magic) {
  Bytes a(4 + 24 + payload.size(), 0);
  Put32(a, 0, static_cast<uint32_t>(24 + payload.size()));
  Put16(a, 4, magic);
  a[6] = state;
  Put32(a, 16, static_cast<uint32_t>(status));
  Put32(a, 24, static_cast<uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(&a[28], payload.data(), payload.size());
  return a;
}

namespace {

int openUsersock(uint32_t port) {
  int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = port;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0)
    throw std::runtime_error("netlink peer socket");
  return s;
}

uint32_t boundPort(int s) {
  sockaddr_nl self{};
  socklen_t len = sizeof self;
  getsockname(s, reinterpret_cast<sockaddr*>(&self), &len);
  return self.nl_pid;
}

void sendTo(int s, uint32_t port, const Bytes& m) {
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = port;
  sendto(s, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::optional<Bytes> receive(int s, int timeoutMs) {
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Bytes b(70000);
  ssize_t n = recv(s, b.data(), b.size(), 0);
  if (n < 0) return std::nullopt;
  b.resize(static_cast<size_t>(n));
  return b;
}

// A controller reply: name attribute, then the id attribute.
Bytes familyReply(const Bytes& req, uint16_t id) {
  const char* name = reinterpret_cast<const char*>(&req[24]);
  size_t nlen = strnlen(name, req.size() - 24) + 1;
  size_t a1 = 4 + nlen, a1pad = (a1 + 3) & ~size_t{3};
  Bytes m(20 + a1pad + 8, 0);
  Put32(m, 0, static_cast<uint32_t>(m.size()));
  Put16(m, 4, 0x10);
  Put32(m, 8, U32(req, 8));
  m[16] = 1;
  m[17] = 2;
  Put16(m, 20, static_cast<uint16_t>(a1));
  Put16(m, 22, 2);
  std::memcpy(&m[24], name, nlen);
  Put16(m, 20 + a1pad, 6);
  Put16(m, 20 + a1pad + 2, 1);
  Put16(m, 20 + a1pad + 4, id);
  return m;
}

}  // namespace

// Ports of their own: an autobound socket would take the process id, which
// the engine's request socket binds.
uint32_t nextPort() {
  static std::atomic<uint32_t> counter{0};
  return 0x7B000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFFF) << 4) | (counter++ & 0xF);
}

NetlinkPeer::NetlinkPeer() {
  sock_ = openUsersock(nextPort());
  port_ = boundPort(sock_);
  stop_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

NetlinkPeer::~NetlinkPeer() {
  uint64_t one = 1;
  if (write(stop_, &one, sizeof one) != sizeof one) std::abort();
  thread_.join();
  close(sock_);
  close(stop_);
  if (forward_ >= 0) close(forward_);
}

void NetlinkPeer::set_script(Script s) {
  std::lock_guard<std::mutex> lock(mtx_);
  script_ = std::move(s);
}

int NetlinkPeer::requests(uint32_t code) {
  std::lock_guard<std::mutex> lock(mtx_);
  return counts_[code];
}

int NetlinkPeer::total_requests() {
  std::lock_guard<std::mutex> lock(mtx_);
  int n = 0;
  for (auto& [code, count] : counts_) n += count;
  return n;
}

NetlinkPeer::Script NetlinkPeer::forward_to(uint32_t hostPort, uint16_t requestFamily,
                                            uint16_t eventFamily) {
  requestFamily_ = requestFamily;
  eventFamily_ = eventFamily;
  if (forward_ < 0) forward_ = openUsersock(nextPort());
  int s = forward_;
  return [s, hostPort](const Request& req) -> std::optional<Bytes> {
    sendTo(s, hostPort, req.message);
    return receive(s, 3000);
  };
}

void NetlinkPeer::serve() {
  pollfd fds[2] = {{sock_, POLLIN, 0}, {stop_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    sockaddr_nl from{};
    socklen_t flen = sizeof from;
    Bytes m(70000);
    ssize_t n = recvfrom(sock_, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&from), &flen);
    if (n < 20) continue;
    m.resize(static_cast<size_t>(n));
    uint16_t type;
    std::memcpy(&type, &m[4], 2);
    if (type == 0x10) {
      lookups_++;
      std::string name(reinterpret_cast<const char*>(&m[24]));
      sendTo(sock_, from.nl_pid, familyReply(m, name == "SolvrnVpnEvent" ? eventFamily_.load() : requestFamily_.load()));
      continue;
    }
    if (n < 28) continue;
    Request req{m, from.nl_pid, U32(m, 24), Bytes(m.begin() + 28, m.end())};
    Script script;
    {
      std::lock_guard<std::mutex> lock(mtx_);
      counts_[req.code]++;
      script = script_;
    }
    std::optional<Bytes> reply = script ? script(req) : std::nullopt;
    if (reply) sendTo(sock_, from.nl_pid, *reply);
  }
}

}  // namespace enginetest
