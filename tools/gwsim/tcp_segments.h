// The gateway simulator's reading of the tunnel device's offloads
// (virtio-net headers): a large TCP frame the device hands over is cut into
// the segments a network card would send. Each segment carries gso_size
// bytes (the last the rest), the sequence number moved on, FIN and PSH on
// the last segment only, CWR on the first only, the IPv4 identification
// counted up from the frame's, and its own TCP checksum. What the simulator
// writes to the device is coalesced by offload/coalesce.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "offload/vnet_header.h"

namespace gwsim {

using zor::offload::VnetHeader;

// A frame read from the tunnel device and the packets it is cut into
// (one when it is not a segmentation frame).
struct TunFrame {
  uint8_t *ip = nullptr;   // the IPv4 packet behind the virtio-net header
  uint32_t len = 0;        // its bytes (the IPv4 total length)
  VnetHeader vnet{};
  uint32_t ihl = 0;        // IPv4 header length
  uint32_t thl = 0;        // TCP header length (segmentation frames)
  uint32_t seg = 0;        // data bytes per segment; 0: one packet, not cut
  uint32_t count = 0;      // packets
};

// Reads the frame of n bytes at buf (virtio-net header first); false when
// it holds no IPv4 packet that can be carried (too short, another version,
// a segmentation type other than TCP over IPv4, headers past the end).
bool PlanFrame(uint8_t *buf, size_t n, TunFrame *f);
// The IPv4 payload length of packet i (its bytes behind the IPv4 header).
uint32_t PacketPayloadLen(const TunFrame &f, uint32_t i);
// The IPv4 identification of packet i.
uint16_t PacketId(const TunFrame &f, uint32_t i);
// Writes packet i's IPv4 payload (PacketPayloadLen bytes) to out, with its
// checksum complete. A packet that is not cut has its offloaded checksum
// completed in the frame first.
void PutPacketPayload(TunFrame &f, uint32_t i, uint8_t *out);

}  // namespace gwsim
