// Receive-side coalescing of the frames zornfhost writes to the TAP, as a
// device's receive offload hands runs up: the local stack then takes one
// packet instead of many. Anything that joins no run is written as it is.
//
// TCP: a run of segments of one flow that follow one another (the same
// headers but sequence number, length and checksums; ACK and at most a last
// PSH; equal lengths but the last) leaves in one write behind a virtio-net
// header of GSO TCPv4, checksum left partial.
//
// UDP: a run of datagrams of one flow leaves in one write behind a header of
// GSO UDP_L4, checksum left partial from the UDP header on, which the kernel
// cuts back into the datagrams. They must be unfragmented IPv4 with the same
// Ethernet header, the same IPv4 header but total length, identification and
// checksum, and the same ports; the identifications consecutive unless DF is
// set (the kernel gives the pieces first + i); the IPv4 header checksum and a
// non-zero UDP checksum correct on each (the stack checks no partial
// checksum, so a wrong or absent one leaves alone to be dropped or taken as
// it is); the UDP length that of the IPv4 payload; payloads of equal length
// but the last, which may be shorter; at most kUdpRunDatagrams of them.
//
// A run of either kind is at most the largest IPv4 packet.
#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/vnet_header.h"

namespace zornfhost {

// The longest Ethernet, IPv4 and TCP headers.
constexpr size_t kTapHeadRoom = 14 + 60 + 60;
// The fewest pieces a kernel cuts a UDP_L4 packet into (newer ones take more).
constexpr size_t kUdpRunDatagrams = 64;

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

// The writes for `count` frames, in their order; runs of UDP only if
// `udp_runs`.
std::vector<TapWrite> plan_tap_writes(const FrameBytes *frames, size_t count, bool udp_runs);
// The write's pieces: its header, then the run's headers and each segment's
// payload, or the whole frame. `iov` has room for 2 + w.frames; returns
// how many it filled.
size_t tap_write_iov(const TapWrite &w, const FrameBytes *frames, iovec *iov);

}  // namespace zornfhost
