#pragma once
// A UDP socket on a loopback port of its own that plays the gateway for the
// connection stages' tests; the daemon's gateway socket is connected to it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

struct LoopbackGateway {
  int fd = -1;
  uint16_t port = 0;  // host order
  LoopbackGateway() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port = ntohs(addr.sin_port);
  }
  ~LoopbackGateway() {
    if (fd >= 0) close(fd);
  }
  LoopbackGateway(const LoopbackGateway&) = delete;
  LoopbackGateway& operator=(const LoopbackGateway&) = delete;
};
