#include "tools/gwsim/tun_device.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gwsim {

int OpenTun(const std::string &name) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
  strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  int hdr = (int)sizeof(VnetHeader);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) != 0 || ioctl(fd, TUNSETVNETHDRSZ, &hdr) != 0 ||
      ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4) != 0) {
    perror("gwsim: tun");
    exit(1);
  }
  // A gateway's queue towards the tunnel: deep enough that a TCP burst
  // routed into it is not cut while a batch is being protected.
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifr.ifr_qlen = 2048;
  if (sock < 0 || ioctl(sock, SIOCSIFTXQLEN, &ifr) != 0) perror("gwsim: tun queue length");
  if (sock >= 0) close(sock);
  return fd;
}

void WritePackets(int fd, const std::vector<zor::offload::DeviceWrite> &writes,
                  const zor::offload::FrameBytes *packets, std::atomic<bool> *udp_runs) {
  bool runs = true;
  if (zor::offload::write_planned(fd, writes, packets, &runs) && errno != EAGAIN &&
      errno != ENOBUFS)
    perror("gwsim: tun write");
  if (!runs) *udp_runs = false;
}

}  // namespace gwsim
