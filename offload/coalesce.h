// Receive-side coalescing of the packets written to a TAP or TUN device, as
// a device's receive offload hands runs up: the local stack then takes one
// packet instead of many. Anything that joins no run is written as it is.
//
// TCP: a run of segments of one flow that follow one another (the same
// headers but sequence number, length and checksums; ACK and at most a last
// PSH; equal lengths but the last) leaves in one write behind a virtio-net
// header of GSO TCPv4, checksum left partial.
//
// UDP: a run of datagrams of one flow leaves in one write behind a header of
// GSO UDP_L4, checksum left partial from the UDP header on, which the kernel
// cuts back into the datagrams. They must have the same ports, the UDP
// length that of the IPv4 payload and a non-zero UDP checksum; the
// identifications consecutive unless DF is set (the kernel gives the pieces
// first + i); payloads of equal length but the last, which may be shorter.
//
// Both: unfragmented IPv4 packets with the same link header and the same
// IPv4 header but total length, identification and checksum, and with the
// IPv4 header checksum and the TCP or UDP checksum right on each: the stack
// checks no partial checksum, so a packet whose checksum is wrong (or
// absent) leaves alone, to be dropped (or taken as it is). A run is at most
// kRunPackets packets and the largest IPv4 packet.
#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "offload/vnet_header.h"

namespace zor::offload {

// The link header in front of each IPv4 packet: Ethernet on a TAP, none on
// a TUN without packet information.
enum class Link : uint8_t { kNone = 0, kEthernet = 14 };

// The longest link, IPv4 and TCP headers.
constexpr size_t kRunHeadRoom = 14 + 60 + 60;
// The most packets in a run: the fewest pieces a kernel cuts a UDP_L4
// packet into (newer ones take more), and what bounds a write's pieces.
constexpr size_t kRunPackets = 64;

// One write to the device: `frames` frames from `first` on. A run of one is
// written whole behind an empty header.
struct DeviceWrite {
  size_t first, frames;
  VnetHeader vnet;
  uint8_t head[kRunHeadRoom];  // a run: its headers, made for the whole run
  size_t headlen;              // 0 for a frame written whole
};

// A frame: its link header (if any), then the IPv4 packet.
struct FrameBytes {
  const uint8_t *data;
  size_t len;
};

// The writes for `count` frames, in their order; runs of UDP only if
// `udp_runs`.
std::vector<DeviceWrite> plan_writes(const FrameBytes *frames, size_t count, Link link,
                                     bool udp_runs);
// The write's pieces: its header, then the run's headers and each segment's
// payload, or the whole frame. `iov` has room for 2 + w.frames; returns
// how many it filled.
size_t write_iov(const DeviceWrite &w, const FrameBytes *frames, iovec *iov);
// Writes the planned writes to the device `fd`, one system call each. Once
// the device refuses a run of UDP (EINVAL: a kernel that cannot cut them),
// its datagrams leave one by one and `*udp_runs` turns false. Returns the
// frames the device did not take (errno tells why of the last).
size_t write_planned(int fd, const std::vector<DeviceWrite> &writes, const FrameBytes *frames,
                     bool *udp_runs);

}  // namespace zor::offload
