// Links of the namespace tests that set up devices by hand: a device's
// flags and IPv4 address, a permanent neighbour, the packets a device took
// from its writer, a socket's address, and what a socket or device gives.
#pragma once
#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zor::links {

// `s` is any socket of the namespace.
inline bool set_flags(int s, const char *dev, short flags) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, dev, IFNAMSIZ - 1);
  ifr.ifr_flags = flags;
  return ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

inline bool set_address(int s, const char *dev, const char *addr, const char *mask) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, dev, IFNAMSIZ - 1);
  auto *in = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, addr, &in->sin_addr);
  if (ioctl(s, SIOCSIFADDR, &ifr) != 0) return false;
  inet_pton(AF_INET, mask, &in->sin_addr);
  return ioctl(s, SIOCSIFNETMASK, &ifr) == 0;
}

// A permanent neighbour, so that the stack sends to it without asking.
inline bool add_neighbour(int s, const char *dev, const char *addr, const char *mac) {
  arpreq neighbour{};
  auto *pa = reinterpret_cast<sockaddr_in *>(&neighbour.arp_pa);
  pa->sin_family = AF_INET;
  inet_pton(AF_INET, addr, &pa->sin_addr);
  neighbour.arp_ha.sa_family = ARPHRD_ETHER;
  std::memcpy(neighbour.arp_ha.sa_data, mac, 6);
  neighbour.arp_flags = ATF_COM | ATF_PERM;
  std::strncpy(neighbour.arp_dev, dev, sizeof neighbour.arp_dev - 1);
  return ioctl(s, SIOCSARP, &neighbour) == 0;
}

// The packets the device took from its writer (/proc/net/dev); -1 when
// there is no such device.
inline long rx_packets(const char *dev) {
  std::ifstream in("/proc/net/dev");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    long bytes, packets;
    if (fields >> name >> bytes >> packets && name == std::string(dev) + ":") return packets;
  }
  return -1;
}

inline bool bind_to(int s, const char *addr, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  inet_pton(AF_INET, addr, &at.sin_addr);
  return bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
}

// What `fd` (a socket or a device) gives, a read each, until it gives
// nothing for `idle_ms`.
inline std::vector<std::vector<uint8_t>> read_until_idle(int fd, int idle_ms = 500) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> buf(70000);
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, idle_ms) == 1) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    out.emplace_back(buf.begin(), buf.begin() + n);
  }
  return out;
}

}  // namespace zor::links
