// The receive ring of an uplink's packet socket (TPACKET_V2). The kernel
// writes each frame received into the next slot of a ring that zornfhost
// has mapped, so the uplink's reader takes frames without a system call or
// a copy per frame, and gives the slots back once the filter is done with
// them. (TPACKET_V3 fills blocks of frames and hands a block over when it
// is full or its time-out ends, which holds a single frame back by that
// time-out and adds it to the round trip.)
//
// Sizes: 4096 slots of 2 KiB, 8 MiB in blocks of 64 KiB (32 slots each). A
// slot holds a frame of a 1500-byte link behind its ring and virtio-net
// headers: what the tunnel's datagrams are, as the gateway side sends them
// cut to the link's size. 4096 slots hold as many datagrams as the socket's
// 8 MiB receive buffer held before the ring, so a burst from the gateway
// finds room while the filter works on the last one. A frame larger than a
// slot (an offloaded frame of up to 64 KiB, a jumbo frame) is queued whole
// on the socket as well (copy threshold), and read with one recv into room
// of the caller's.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zornfhost {

// One frame received: a virtio-net header, then the frame's bytes.
struct RingFrame {
  uint8_t *bytes;
  size_t len;
};

// Room for frames larger than a slot: `count` frames of `size` bytes each.
struct LargeFrameRoom {
  uint8_t *bytes;
  size_t size, count;
};

class PacketRing {
 public:
  PacketRing() = default;
  ~PacketRing();
  PacketRing(const PacketRing &) = delete;
  PacketRing &operator=(const PacketRing &) = delete;

  // Sets the ring up on the bound packet socket `fd`, which already has
  // PACKET_VNET_HDR; false (errno set, nothing left mapped) on failure.
  bool Open(int fd);
  // The frames of the slots the kernel has filled, oldest first, at most
  // `max`; those larger than a slot are read into `room` while it lasts.
  // Frames sent by this host and frames cut short are left out. The slots
  // stay the caller's until Release().
  size_t Take(RingFrame *out, size_t max, const LargeFrameRoom &room);
  // Gives the slots of the last Take() back to the kernel.
  void Release();

 private:
  uint8_t *Slot(size_t index) const;
  // The slot's frame into `out`; false for a frame to leave out.
  bool Frame(uint8_t *slot, uint32_t status, const LargeFrameRoom &room, size_t *large,
             RingFrame *out);

  int fd_ = -1;
  uint8_t *map_ = nullptr;
  size_t next_ = 0;   // the oldest slot not taken
  size_t taken_ = 0;  // slots taken, from next_ on, not yet released
};

}  // namespace zornfhost
