// The gateway simulator's UDP socket in batches. Receiving: recvmmsg with
// the kernel's receive coalescing (UDP_GRO), where one buffer holds several
// datagrams of one size, the last one maybe shorter. Sending: datagrams of
// one size in a row go out in one segmentation send (UDP_SEGMENT), the
// kernel cutting them apart again; a run the kernel refuses so (larger than
// the path allows) is sent datagram by datagram.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace gwsim {

// Asks the socket for coalesced receives (not every kernel has them).
void EnableReceiveCoalescing(int fd);
// IP_MTU_DISCOVER of the socket: IP_PMTUDISC_WANT sends with DF while a
// datagram fits the path, IP_PMTUDISC_DONT without.
void SetPathMtuMode(int fd, int mode);

// Room for up to kMessages receive buffers of 64 KiB and the datagrams
// they held, in their order.
class ReceiveBatch {
 public:
  static constexpr size_t kMessages = 64;
  static constexpr size_t kRoom = 65536;
  struct Datagram {
    uint8_t *d;
    uint32_t n;
    uint32_t message;   // the receive it came in, for its sender
  };

  ReceiveBatch();
  // Takes what the socket holds into at most `messages` buffers without
  // waiting; the number of buffers filled, or -1.
  int Receive(int fd, size_t messages);
  const std::vector<Datagram> &datagrams() const { return datagrams_; }
  const sockaddr_in &sender(uint32_t message) const { return from_[message]; }
  // Some buffer of the last receive held more than one datagram.
  bool coalesced() const { return coalesced_; }

 private:
  // The size of the datagrams the kernel joined into message k; 0: one.
  uint16_t CoalescedSize(size_t k) const;

  // Left uninitialised: a page is touched only when a receive reaches it.
  std::unique_ptr<uint8_t[]> room_;
  mmsghdr msgs_[kMessages];
  iovec iov_[kMessages];
  sockaddr_in from_[kMessages];
  alignas(cmsghdr) uint8_t control_[kMessages][CMSG_SPACE(sizeof(int))];
  std::vector<Datagram> datagrams_;
  bool coalesced_ = false;
};

// Sends the datagrams dg to `to` in their order; df[i]: datagram i goes
// with DF while it fits the path (the socket's mode otherwise is
// IP_PMTUDISC_WANT; datagrams without DF are sent with IP_PMTUDISC_DONT).
// Datagrams the socket does not take are lost, as on a wire.
void SendDatagrams(int fd, const sockaddr_in &to, const std::vector<iovec> &dg,
                   const std::vector<bool> &df);

}  // namespace gwsim
