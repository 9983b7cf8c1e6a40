#include "Service/common/engine/genl_device.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/genl_family.h"
#include "cross/utils/sleep.h"

namespace {

constexpr size_t NAME_MAX_CHARS = 127;
constexpr unsigned FAMILY_WAIT_MS = 33;
constexpr unsigned EVENT_STEP_MS = 33;
constexpr size_t EVENT_RECV = 24;
constexpr int REPLY_WAIT_MS = 2000;  // a peer that never answers is given up
constexpr size_t HEADERS = 20;
constexpr size_t REPLY_MAX = 65556;  // netlink + generic-netlink headers

std::atomic<uint32_t> g_sequence{0};


}  // namespace

utl_drv_ipc_device* utl_drv_ipc_device_openex(const char* name, uint32_t port) {
  if (!name || std::strlen(name) > NAME_MAX_CHARS) return nullptr;
  FilterSeam seam = FilterSeam_Get();
  int sock = FilterSeam_OpenSocket(seam, port);
  if (sock < 0) return nullptr;
  int id = GenlLookupFamily(sock, seam, port, name, FAMILY_WAIT_MS);
  auto* dev = static_cast<utl_drv_ipc_device*>(std::malloc(sizeof(utl_drv_ipc_device)));
  if (id < 0 || !dev) {
    close(sock);
    std::free(dev);
    return nullptr;
  }
  dev->sock = sock;
  dev->familyId = id;
  dev->port = port;
  return dev;
}

utl_drv_ipc_device* utl_drv_ipc_device_open(const char* name) {
  return utl_drv_ipc_device_openex(name, static_cast<uint32_t>(getpid()) + 1);
}

int utl_drv_ipc_device_close(utl_drv_ipc_device* dev) {
  if (!dev) return 1;
  if (dev->sock >= 0) close(dev->sock);
  std::free(dev);
  return 0;
}

int utl_drv_ipc_device_iocontrol(utl_drv_ipc_device* dev, const void* in, uint32_t size, void* out,
                                 uint32_t* outSize) {
  if (!dev || !in || size == 0 || (out && (!outSize || *outSize == 0)) || dev->sock < 0) return 1;
  if (size > 65535 - 4) return 1;
  // The message: headers, then attribute 1 of size + 4 bytes; 24 + size in all.
  uint32_t len = static_cast<uint32_t>(HEADERS + 4 + size);
  std::vector<uint8_t> m(len, 0);
  GenlPutHeaders(m.data(), len, static_cast<uint16_t>(dev->familyId), ++g_sequence, dev->port, 1);
  GenlPutAttribute(&m[20], static_cast<uint16_t>(size + 4), 1);
  std::memcpy(&m[24], in, size);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = FilterSeam_Get().port;
  if (sendto(dev->sock, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return 1;
  if (!out) return 0;
  // The reply is taken whole (a buffer of outSize + 24 would cut a longer
  // one and fail its length check), then its attribute is cut to outSize.
  std::vector<uint8_t> r(REPLY_MAX);
  if (!GenlWaitReadable(dev->sock, REPLY_WAIT_MS)) return 1;
  ssize_t n = recv(dev->sock, r.data(), r.size(), 0);
  if (n < 16) return 1;
  uint32_t nlen;
  uint16_t type;
  std::memcpy(&nlen, r.data(), 4);
  std::memcpy(&type, r.data() + 4, 2);
  if (nlen < 16 || nlen > static_cast<uint32_t>(n) || type == NLMSG_ERROR || n < 24) return 1;
  uint16_t attrLen;
  std::memcpy(&attrLen, r.data() + 20, 2);
  size_t payload = attrLen >= 4 ? attrLen - 4u : 0;
  size_t arrived = static_cast<size_t>(n) - 24;  // never copy more than came
  if (payload > arrived) payload = arrived;
  if (payload > *outSize) payload = *outSize;
  std::memcpy(out, r.data() + 24, payload);
  *outSize = static_cast<uint32_t>(payload);
  return 0;
}

utl_drv_ipc_device* utl_drv_ipc_event_open(const char* name) {
  utl_drv_ipc_device* dev = utl_drv_ipc_device_open(name);
  if (!dev) return nullptr;
  fcntl(dev->sock, F_SETOWN, getpid());
  fcntl(dev->sock, F_SETFL, fcntl(dev->sock, F_GETFL) | O_ASYNC);
  return dev;
}

int utl_drv_ipc_event_close(utl_drv_ipc_device* dev) { return utl_drv_ipc_device_close(dev); }

int utl_drv_ipc_event_wait(utl_drv_ipc_device* dev, unsigned timeoutMs, int* timedOut) {
  if (!dev || dev->sock < 0) return 1;
  if (timedOut) *timedOut = 0;
  auto start = std::chrono::steady_clock::now();
  uint8_t buf[EVENT_RECV];
  for (;;) {
    ssize_t n = recv(dev->sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) return 0;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 1;
    unsigned waited = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count());
    if (timeoutMs != 0 && waited >= timeoutMs) {
      if (timedOut) *timedOut = 1;
      return 0;
    }
    unsigned left = timeoutMs == 0 ? EVENT_STEP_MS : timeoutMs - waited;
    utl_SleepMs(left < EVENT_STEP_MS ? left : EVENT_STEP_MS);
  }
}
