// The gateway simulator's side of the tunnel device's offloads (virtio-net
// headers): a large TCP frame the device hands over is cut into the
// segments a network card would send, and the segments opened from one
// batch of datagrams that continue one another are joined into one large
// frame for the device, which the stack takes whole.
//
// Cutting follows the segmentation a card does: each segment carries
// gso_size bytes (the last the rest), the sequence number moved on, FIN and
// PSH on the last segment only, CWR on the first only, the IPv4
// identification counted up from the frame's, and its own TCP checksum.
//
// Joining takes packets in their order and joins a packet to the one before
// when both are TCP over IPv4 with a 20-byte header, the same addresses,
// IPv4 fields and TCP header (but for the sequence number, PSH and the
// checksum), flags ACK (PSH on the last one only), the data following on in
// sequence, all of one size but the last, which may be shorter, and the
// whole within one IPv4 packet. Their checksums are not checked again: the
// datagrams they came in were authenticated. The joined frame keeps the first
// packet's identification and asks the stack to complete the TCP checksum.
#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "offload/vnet_header.h"

namespace gwsim {

using zor::offload::VnetHeader;
// The virtio-net header's segmentation types (gso_type) that the device
// and the simulator use, and the ECN bit that may go with them.
constexpr uint8_t kVnetGsoNone = 0, kVnetGsoTcpV4 = 1, kVnetGsoEcn = 0x80;

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

// One write to the tunnel device: the virtio-net header, then the pieces
// iov[first .. first + count) of the joiner.
struct TunWrite {
  VnetHeader vnet{};
  uint32_t first = 0, count = 0;
};

// The most packets joined into one frame.
constexpr uint32_t kMaxJoined = 64;

class SegmentJoiner {
 public:
  // Adds the IPv4 packet at ip (len bytes, whole) behind those added before;
  // its header may be rewritten when a packet is joined to it.
  void Add(uint8_t *ip, uint32_t len);
  // Completes the last frame; the writes are then ready.
  void Close();
  void Clear();
  const std::vector<TunWrite> &writes() const { return writes_; }
  const std::vector<iovec> &iov() const { return iov_; }

 private:
  bool Joins(const uint8_t *ip, uint32_t len) const;
  // Rewrites the open frame's first packet into the joined frame's header.
  void CloseJoined();

  std::vector<TunWrite> writes_;
  std::vector<iovec> iov_;
  // The open frame: its first and last packets, data size and length.
  uint8_t *first_ = nullptr, *last_ = nullptr;
  uint32_t first_len_ = 0, last_len_ = 0, seg_ = 0, total_ = 0;
};

}  // namespace gwsim
