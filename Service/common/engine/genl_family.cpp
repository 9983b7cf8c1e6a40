#include "Service/common/engine/genl_family.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cross/utils/sleep.h"

namespace {

constexpr uint16_t GENL_CTRL_TYPE = 0x10;
constexpr uint8_t CTRL_GETFAMILY = 3;
constexpr uint16_t CTRL_ATTR_NAME = 2;
constexpr uint16_t CTRL_ATTR_ID = 1;
constexpr size_t FAMILY_REPLY_MAX = 276;
// A controller that never answers is given up after this long.
constexpr int FAMILY_REPLY_WAIT_MS = 2000;

uint16_t u16At(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

}  // namespace

int GenlParseFamilyReply(const uint8_t* reply, long len, bool quiet) {
  if (len > static_cast<long>(FAMILY_REPLY_MAX)) len = FAMILY_REPLY_MAX;
  uint32_t nlen = 0;
  if (len >= 4) std::memcpy(&nlen, reply, 4);
  if (len < 16 || nlen < 16 || nlen > static_cast<uint32_t>(len)) {
    if (!quiet) fprintf(stderr, "invalid reply message\n");
    return -1;
  }
  if (u16At(reply + 4) == NLMSG_ERROR) {
    if (!quiet) fprintf(stderr, "received error\n");
    return -1;
  }
  if (len < 24) return -1;
  size_t next = 20 + ((u16At(reply + 20) + 3u) & ~3u);
  if (next + 6 > static_cast<size_t>(len)) return -1;
  if (u16At(reply + next + 2) != CTRL_ATTR_ID) return -1;
  return u16At(reply + next + 4);
}

void GenlPutHeaders(uint8_t* m, uint32_t len, uint16_t type, uint32_t seq, uint32_t port, uint8_t cmd) {
  uint16_t flags = NLM_F_REQUEST;
  std::memcpy(m, &len, 4);
  std::memcpy(m + 4, &type, 2);
  std::memcpy(m + 6, &flags, 2);
  std::memcpy(m + 8, &seq, 4);
  std::memcpy(m + 12, &port, 4);
  m[16] = cmd;
  m[17] = 1;
  m[18] = m[19] = 0;
}

void GenlPutAttribute(uint8_t* at, uint16_t len, uint16_t type) {
  std::memcpy(at, &len, 2);
  std::memcpy(at + 2, &type, 2);
}

bool GenlWaitReadable(int sock, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{sock, POLLIN, 0};
    int r = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

int GenlLookupFamily(int sock, const FilterSeam& seam, uint32_t senderPort, const char* name,
                     unsigned waitMs, bool quiet) {
  size_t nameLen = std::strlen(name);
  if (nameLen > 200) return -1;
  uint8_t msg[256] = {};
  uint16_t alen = static_cast<uint16_t>(nameLen + 5);
  uint32_t mlen = 20 + ((alen + 3u) & ~3u);
  GenlPutHeaders(msg, mlen, GENL_CTRL_TYPE, 0, senderPort, CTRL_GETFAMILY);
  GenlPutAttribute(msg + 20, alen, CTRL_ATTR_NAME);
  std::memcpy(msg + 24, name, nameLen + 1);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = seam.port;
  if (sendto(sock, msg, mlen, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return -1;
  if (waitMs) utl_SleepMs(waitMs);
  if (!GenlWaitReadable(sock, FAMILY_REPLY_WAIT_MS)) {
    if (!quiet) fprintf(stderr, "recv: no reply\n");
    return -1;
  }
  uint8_t reply[FAMILY_REPLY_MAX];
  ssize_t n = recv(sock, reply, sizeof reply, 0);
  if (n < 0) {
    if (!quiet) perror("recv");
    return -1;
  }
  return GenlParseFamilyReply(reply, n, quiet);
}
