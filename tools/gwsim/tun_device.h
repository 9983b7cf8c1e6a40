// The gateway simulator's tunnel device: a TUN device with virtio-net
// headers, offering the stack checksum and TCP segmentation offload, so
// that large TCP frames reach the simulator whole (tcp_segments.h cuts
// them) and joined frames written to it are taken whole.
#pragma once
#include <string>

#include "tools/gwsim/tcp_segments.h"

namespace gwsim {

// Creates (or attaches to) the device `name`, non-blocking; exits the
// program when it cannot.
int OpenTun(const std::string &name);
// The room one read needs: the largest frame and its virtio-net header.
constexpr size_t kTunFrameRoom = sizeof(VnetHeader) + 65535;
// Writes the joiner's frames in their order; a frame the device does not
// take is lost.
void WriteFrames(int fd, const SegmentJoiner &joined);

}  // namespace gwsim
