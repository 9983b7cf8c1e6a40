// The adapters zornfhost serves: each is a TAP device (stack side: it
// carries the addresses and routes) paired with an AF_PACKET socket on an
// uplink without addresses (network side). Both sides carry virtio-net
// headers, so the stack's large offloaded frames cross whole; a frame's
// offloaded checksum is completed before the filter sees it. Each pair has
// two readers: the uplink's, which takes its frames from the socket's
// receive ring (packet_ring.h), and the TAP's, which takes what the TAP
// holds into the pair's stack queue (stack_queue.h), from which a feeder
// hands the filter batches (stack_batch.h). The filter's own frames to the
// network leave at once; those up to the stack through the pair's TAP writer
// (tap_writer.h). Frames for the uplink's MAC reach the TAP addressed to its
// own (stack_address.h), and the uplink's own stack answers no ARP while the
// pair holds it (uplink_arp.h).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "host/flow_gate.h"
#include "host/packet_ring.h"
#include "host/stack_address.h"
#include "host/stack_queue.h"
#include "host/tap_writer.h"

namespace zornfhost {

struct AdapterSpec {
  std::string tap;     // created when missing, attached when it exists
  std::string uplink;  // must exist
};

// The stack queue's bounds: a TCP flow's whole send window fits (the TAP's
// own ring holds 1000 frames of up to 64 KiB), so a flow alone is held back
// by its window, not by drops.
constexpr size_t kStackQueueBytes = 32 << 20;
constexpr size_t kStackQueueFrames = 8192;

struct AdapterPair {
  AdapterSpec spec;
  int tap_fd = -1;
  int packet_fd = -1;
  int stop_fd = -1;
  int tap_ifindex = 0;
  int uplink_ifindex = 0;
  int saved_arp_ignore = -1;  // the uplink's own (uplink_arp.h)
  std::atomic<bool> forwarding{false};
  std::atomic<unsigned long> lost_frames{0};  // filter frames the host could not write
  PacketRing ring;
  TapWriter tap_writer;
  FlowGate gates[2];  // the readers' (by KERN_FROM_*), closed while the filter is short
  StackQueue stack_queue{kStackQueueBytes, kStackQueueFrames};
  StackAddress stack_address;  // of the frames written to the TAP
  std::thread stack_reader, stack_feeder;
  std::thread network_reader;
};

// Opens the TAP `name` (creating it when missing) as a pair does: behind
// virtio-net headers, with the offloads the pair takes. -1 on failure.
int open_tap(const std::string &name);
// Opens every pair; false (with a log line, nothing left open) on failure.
bool open_adapters(const std::vector<AdapterSpec> &specs);
void close_adapters();
std::vector<AdapterPair *> adapter_pairs();

// The TAP's link as the library is told about it.
struct LinkInfo {
  std::string name;
  uint8_t mac[6];
  uint32_t mtu;
  bool up;
};
bool read_link(const AdapterPair &pair, LinkInfo *out);

}  // namespace zornfhost
