#include "host/control_endpoint.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "host/completions.h"
#include "host/genl_messages.h"
#include "host/host_log.h"
#include "kern_host.h"

namespace zornfhost {
namespace {

constexpr size_t kMaxDatagram = 65556 + 64;

std::atomic<uint32_t> control_port{kControlPort};
int control_sock = -1;
int stop_fd = -1;
std::thread control_thread;
int doorbell_sock = -1;

sockaddr_nl netlink_address(uint32_t port) {
  sockaddr_nl a{};
  a.nl_family = AF_NETLINK;
  a.nl_pid = port;
  return a;
}

void send_to(int sock, uint32_t port, const std::vector<uint8_t> &msg) {
  sockaddr_nl to = netlink_address(port);
  if (sendto(sock, msg.data(), msg.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
             sizeof to) < 0)
    host_log("zornfhost: reply to port %u failed: %s", port, strerror(errno));
}

void answer_family(int sock, uint32_t sender, const Message &m) {
  std::string_view name = requested_family(m);
  uint16_t id = name == kRequestFamily ? kRequestFamilyId
                : name == kEventFamily ? kEventFamilyId
                                       : 0;
  if (m.hdr.len < kGenlHeader || genl_command(m) != kCtrlCmdGetFamily || id == 0) {
    send_to(sock, sender, build_error(m.hdr, id == 0 ? -ENOENT : -EOPNOTSUPP));
    return;
  }
  send_to(sock, sender, build_family_reply(m.hdr, name, id));
}

// A request of the request family: attribute 1 holds the u32 code and the
// data area that the control entry reads and rewrites.
void answer_request(int sock, uint32_t sender, const Message &m) {
  if (m.hdr.len < kGenlHeader || genl_command(m) != kRequestCommand) {
    send_to(sock, sender, build_error(m.hdr, -EOPNOTSUPP));
    return;
  }
  size_t len = 0;
  const uint8_t *attr = find_attribute(m, kRequestAttribute, &len);
  if (!attr || len < 4) {
    send_to(sock, sender, build_error(m.hdr, -EINVAL));
    return;
  }
  uint32_t code = load_ne32(attr);
  std::vector<uint8_t> data(attr + sizeof code, attr + len);
  uint32_t length = static_cast<uint32_t>(data.size());
  Zor_Filter_DRV_IoControl_Function(code, data.data(), &length);
  report_completions();
  send_to(sock, sender, build_request_reply(m.hdr, data.data(), data.size()));
}

void serve_datagram(int sock, uint32_t sender, bool privileged, uint8_t *data, size_t len) {
  for (Message m : split_datagram(data, len)) {
    m.hdr.pid = sender;
    if (!(m.hdr.flags & NLM_F_REQUEST)) continue;
    if (m.hdr.type == GENL_ID_CTRL)
      answer_family(sock, sender, m);
    else if (m.hdr.type == kRequestFamilyId && !privileged)
      send_to(sock, sender, build_error(m.hdr, -EPERM));
    else if (m.hdr.type == kRequestFamilyId)
      answer_request(sock, sender, m);
    else
      send_to(sock, sender, build_error(m.hdr, m.hdr.type == kEventFamilyId ? -EOPNOTSUPP : -ENOENT));
    if (m.hdr.flags & NLM_F_ACK) send_to(sock, sender, build_error(m.hdr, 0));
  }
}

// The sender's user id from the credentials the kernel attaches.
bool sent_by_root(msghdr &msg) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
    ucred cred;
    std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
    return cred.uid == 0;
  }
  return false;
}

void serve_loop() {
  std::vector<uint8_t> buf(kMaxDatagram);
  alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(ucred))];
  pollfd fds[2] = {{control_sock, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_nl from{};
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(control_sock, &msg, MSG_DONTWAIT);
    if (n <= 0 || (msg.msg_flags & MSG_TRUNC)) continue;
    serve_datagram(control_sock, from.nl_pid, sent_by_root(msg), buf.data(),
                   static_cast<size_t>(n));
  }
}

}  // namespace

void set_control_port(uint32_t port) { control_port = port; }

}  // namespace zornfhost

using namespace zornfhost;

extern "C" {

int KERN_RegisterDevice(uint32_t) {
  int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
  if (sock < 0) return 1;
  sockaddr_nl self = netlink_address(control_port);
  int size = 1 << 20, on = 1;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  if (bind(sock, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0) {
    host_log("zornfhost: netlink port 0x%08X: %s", control_port.load(), strerror(errno));
    close(sock);
    return 1;
  }
  control_sock = sock;
  stop_fd = eventfd(0, EFD_CLOEXEC);
  control_thread = std::thread(serve_loop);
  return 0;
}

void KERN_DeregisterDevice(void) {
  if (control_sock < 0) return;
  uint64_t one = 1;
  if (write(stop_fd, &one, sizeof one) != sizeof one) host_log("zornfhost: stop signal failed");
  control_thread.join();
  close(control_sock);
  close(stop_fd);
  control_sock = stop_fd = -1;
}

int KERN_RegisterEvent(void) {
  doorbell_sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
  return doorbell_sock < 0 ? 1 : 0;
}

int KERN_SendEvent(uint32_t pid) {
  if (pid == 0 || doorbell_sock < 0) return 1;
  std::vector<uint8_t> msg = build_doorbell(control_port);
  sockaddr_nl to = netlink_address(pid);
  ssize_t n = sendto(doorbell_sock, msg.data(), msg.size(), MSG_DONTWAIT,
                     reinterpret_cast<sockaddr *>(&to), sizeof to);
  return n == static_cast<ssize_t>(msg.size()) ? 0 : 1;
}

// A netlink doorbell is a message; there is nothing to take back.
int KERN_ClearEvent(uint32_t) { return 0; }

void KERN_DeregisterEvent(void) {
  if (doorbell_sock >= 0) close(doorbell_sock);
  doorbell_sock = -1;
}

}  // extern "C"
