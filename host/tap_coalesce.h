// Receive-side coalescing of the frames zornfhost writes to the TAP: a run
// of TCP segments of one flow that follow one another (the same headers but
// sequence number, length and checksums; ACK and at most a last PSH; equal
// lengths but the last) leaves in one large write behind a virtio-net
// header (GSO TCPv4, checksum left partial), as a device's receive offload
// hands such a run up. The local stack then takes one packet instead of
// many. Anything else is written as it is.
#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/vnet_header.h"

namespace zornfhost {

// The longest Ethernet, IPv4 and TCP headers.
constexpr size_t kTapHeadRoom = 14 + 60 + 60;

// One write to the TAP: `frames` frames from `first` on. A run of one is
// written whole behind an empty header.
struct TapWrite {
  size_t first, frames;
  VnetHeader vnet;
  uint8_t head[kTapHeadRoom];  // a run: its headers, made for the whole run
  size_t headlen;              // 0 for a frame written whole
};

struct FrameBytes {
  const uint8_t *data;
  size_t len;
};

// The writes for `count` frames, in their order.
std::vector<TapWrite> plan_tap_writes(const FrameBytes *frames, size_t count);
// The write's pieces: its header, then the run's headers and each segment's
// payload, or the whole frame. `iov` has room for 2 + w.frames; returns
// how many it filled.
size_t tap_write_iov(const TapWrite &w, const FrameBytes *frames, iovec *iov);

}  // namespace zornfhost
