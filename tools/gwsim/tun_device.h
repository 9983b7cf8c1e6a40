// The gateway simulator's tunnel device: a TUN device with virtio-net
// headers, offering the stack checksum and TCP segmentation offload, so
// that large TCP frames reach the simulator whole (tcp_segments.h cuts
// them). Runs of TCP segments and of UDP datagrams written to it leave
// coalesced (offload/coalesce.h), which the kernel takes whole, cutting a
// UDP run back into its datagrams.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "offload/coalesce.h"
#include "tools/gwsim/tcp_segments.h"

namespace gwsim {

// Creates (or attaches to) the device `name`, non-blocking; exits the
// program when it cannot.
int OpenTun(const std::string &name);
// The room one read needs: the largest frame and its virtio-net header.
constexpr size_t kTunFrameRoom = sizeof(VnetHeader) + 65535;
// Writes the packets as planned (plan_writes of Link::kNone), in their
// order; a packet the device does not take is lost. Once the device refuses
// a run of UDP, `udp_runs` turns false for the plans after.
void WritePackets(int fd, const std::vector<zor::offload::DeviceWrite> &writes,
                  const zor::offload::FrameBytes *packets, std::atomic<bool> *udp_runs);

}  // namespace gwsim
