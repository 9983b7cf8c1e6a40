// The virtio-net header that TAP devices and packet sockets put in front of
// every frame once asked to (IFF_VNET_HDR, PACKET_VNET_HDR); native byte
// order on this machine.
#pragma once
#include <cstdint>

namespace zor::offload {

struct VnetHeader {
  uint8_t flags;
  uint8_t gso_type;
  uint16_t hdr_len;
  uint16_t gso_size;
  uint16_t csum_start;
  uint16_t csum_offset;
};
static_assert(sizeof(VnetHeader) == 10, "the virtio-net header is 10 bytes");

// The checksum from csum_start on is left to the receiver of the frame.
constexpr uint8_t kVnetNeedsCsum = 1;
// gso_type: none, a run of TCP segments over IPv4, of UDP datagrams; and
// the ECN bit that may go with them.
constexpr uint8_t kVnetGsoNone = 0, kVnetGsoTcpv4 = 1, kVnetGsoUdpL4 = 5, kVnetGsoEcn = 0x80;

}  // namespace zor::offload
