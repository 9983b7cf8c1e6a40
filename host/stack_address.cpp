#include "host/stack_address.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace zornfhost {
namespace {

constexpr size_t kMacLen = 6;

uint64_t packed(const uint8_t *mac) {
  uint64_t v = 0;
  std::memcpy(&v, mac, kMacLen);
  return v;
}

bool read_mac(int sock, const char *name, uint8_t *mac) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(sock, SIOCGIFHWADDR, &ifr) != 0) return false;
  std::memcpy(mac, ifr.ifr_hwaddr.sa_data, kMacLen);
  return true;
}

}  // namespace

bool StackAddress::Read(const char *uplink, const char *tap) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  uint8_t up[kMacLen], own[kMacLen];
  const bool ok = read_mac(sock, uplink, up) && read_mac(sock, tap, own);
  close(sock);
  if (ok) Set(up, own);
  return ok;
}

void StackAddress::Set(const uint8_t uplink[6], const uint8_t tap[6]) {
  uplink_ = packed(uplink);
  tap_ = packed(tap);
}

void StackAddress::SetTap(const uint8_t mac[6]) { tap_ = packed(mac); }

void StackAddress::Retarget(uint8_t *frame, size_t len) const {
  const uint64_t up = uplink_.load(std::memory_order_relaxed);
  if (len < kMacLen || !up || packed(frame) != up) return;
  const uint64_t own = tap_.load(std::memory_order_relaxed);
  std::memcpy(frame, &own, kMacLen);
}

}  // namespace zornfhost
