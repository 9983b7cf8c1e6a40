#include "host/link_monitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "host/adapter_pairs.h"
#include "host/completions.h"
#include "host/device_loss.h"
#include "host/host_log.h"
#include "kern_host.h"

namespace zornfhost {
namespace {

int monitor_sock = -1;
int monitor_stop = -1;
std::thread monitor_thread;

// What the library was last told, per pair.
std::map<AdapterPair *, LinkInfo> reported;

void report_changes(AdapterPair *pair, const LinkInfo &now) {
  LinkInfo &was = reported[pair];
  if (now.name != was.name) Zor_DEVN_ChangeNameAdapter(pair, now.name.c_str());
  if (std::memcmp(now.mac, was.mac, 6) != 0) {
    Zor_DEVN_ChangeAddrAdapter(pair, 6, now.mac);
    pair->stack_address.SetTap(now.mac);
  }
  if (now.mtu != was.mtu) Zor_DEVN_ChangeMtuAdapter(pair, now.mtu);
  if (now.up != was.up) {
    if (now.up)
      Zor_DEVN_ChangeUPAdapter(pair);
    else
      Zor_DEVN_ChangeDOWNAdapter(pair);
  }
  was = now;
  report_completions();
}

void link_changed(int ifindex) {
  for (AdapterPair *pair : adapter_pairs()) {
    LinkInfo now;
    if (pair->tap_ifindex == ifindex && read_link(*pair, &now)) report_changes(pair, now);
  }
}

void link_gone(int ifindex) {
  for (AdapterPair *pair : adapter_pairs()) {
    if (pair->tap_ifindex == ifindex) device_gone("TAP", pair->spec.tap);
    if (pair->uplink_ifindex == ifindex) device_gone("uplink", pair->spec.uplink);
  }
}

void monitor_loop() {
  std::vector<uint8_t> buf(64 * 1024);
  pollfd fds[2] = {{monitor_sock, POLLIN, 0}, {monitor_stop, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    ssize_t n = recv(monitor_sock, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0) continue;
    for (int ifindex : link_indexes(buf.data(), static_cast<size_t>(n), RTM_NEWLINK))
      link_changed(ifindex);
    for (int ifindex : link_indexes(buf.data(), static_cast<size_t>(n), RTM_DELLINK))
      link_gone(ifindex);
  }
}

}  // namespace

// Walks the messages by offset: NLMSG_NEXT on a size_t length would wrap it
// when the last message's length is not a multiple of 4, and reading would
// go on past the datagram.
std::vector<int> link_indexes(const uint8_t *buf, size_t len, uint16_t type) {
  std::vector<int> indexes;
  for (size_t at = 0; at <= len && len - at >= NLMSG_HDRLEN;) {
    nlmsghdr h;
    std::memcpy(&h, buf + at, sizeof h);
    if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > len - at) break;
    if (h.nlmsg_type == type && h.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
      ifinfomsg info;
      std::memcpy(&info, buf + at + NLMSG_HDRLEN, sizeof info);
      indexes.push_back(info.ifi_index);
    }
    at += NLMSG_ALIGN(h.nlmsg_len);
  }
  return indexes;
}

bool start_link_monitor() {
  for (AdapterPair *pair : adapter_pairs()) read_link(*pair, &reported[pair]);
  monitor_sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_groups = RTMGRP_LINK;
  if (monitor_sock < 0 || bind(monitor_sock, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0) {
    host_log("zornfhost: link monitor: %s", strerror(errno));
    if (monitor_sock >= 0) close(monitor_sock);
    monitor_sock = -1;
    return false;
  }
  monitor_stop = eventfd(0, EFD_CLOEXEC);
  monitor_thread = std::thread(monitor_loop);
  return true;
}

void stop_link_monitor() {
  if (monitor_sock < 0) return;
  uint64_t one = 1;
  if (write(monitor_stop, &one, sizeof one) != sizeof one) host_log("zornfhost: stop failed");
  monitor_thread.join();
  close(monitor_sock);
  close(monitor_stop);
  monitor_sock = monitor_stop = -1;
  reported.clear();
}

}  // namespace zornfhost
