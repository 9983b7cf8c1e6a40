#include "Service/common/engine/filter_netlink_seam.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "Service/common/engine/genl_family.h"

namespace {

std::mutex g_seamLock;
bool g_decided = false;
FilterSeam g_seam{NETLINK_USERSOCK, FILTER_SEAM_HOST_PORT};
uint32_t g_hostPort = 0;  // 0: environment or default

uint32_t hostPort() {
  if (g_hostPort != 0) return g_hostPort;
  const char* env = std::getenv("ZORNF_CONTROL_PORT");
  if (env != nullptr && *env != '\0') {
    char* end = nullptr;
    unsigned long v = std::strtoul(env, &end, 0);
    if (end != nullptr && *end == '\0' && v != 0 && v <= 0xFFFFFFFFul) return static_cast<uint32_t>(v);
  }
  return FILTER_SEAM_HOST_PORT;
}

// True when the kernel's generic-netlink controller knows the request family.
// Without the kernel module it answers an error: that is the answer (the
// filter is zornfhost), so nothing is printed for it.
bool kernelHasFamily() {
  FilterSeam kernel{NETLINK_GENERIC, 0};
  int sock = FilterSeam_OpenSocket(kernel, 0);
  if (sock < 0) return false;
  int id = GenlLookupFamily(sock, kernel, FilterSeam_BoundPort(sock), "/tmp/SolvrnVpn", 0, true);
  close(sock);
  return id >= 0;
}

}  // namespace

FilterSeam FilterSeam_Get() {
  std::lock_guard<std::mutex> lock(g_seamLock);
  if (!g_decided) {
    g_seam = kernelHasFamily() ? FilterSeam{NETLINK_GENERIC, 0} : FilterSeam{NETLINK_USERSOCK, hostPort()};
    g_decided = true;
  }
  return g_seam;
}

void FilterSeam_SetHostPort(uint32_t port) {
  std::lock_guard<std::mutex> lock(g_seamLock);
  g_hostPort = port;
  g_decided = false;
}

void FilterSeam_Force(const FilterSeam& seam) {
  std::lock_guard<std::mutex> lock(g_seamLock);
  g_seam = seam;
  g_decided = true;
}

int FilterSeam_OpenSocket(const FilterSeam& seam, uint32_t port) {
  int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, seam.protocol);
  if (sock < 0) return -1;
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = port;
  if (bind(sock, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

uint32_t FilterSeam_BoundPort(int sock) {
  sockaddr_nl self{};
  socklen_t len = sizeof self;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&self), &len) != 0) return 0;
  return self.nl_pid;
}
