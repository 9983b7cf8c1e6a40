// The destination of the frames zornfhost writes to a pair's TAP. A peer
// that learnt the uplink's MAC for an address behind the TAP (from an
// answer of the uplink's own stack, or an entry older than zornfhost)
// sends there, and the stack behind the TAP drops such frames as another
// host's: frames for the uplink's MAC are written addressed to the TAP's.
// Any other destination (a group address, another host's MAC seen in
// promiscuous mode) stays as it came.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zornfhost {

class StackAddress {
 public:
  // Both devices' MACs, by name; false when either cannot be read.
  bool Read(const char *uplink, const char *tap);
  void Set(const uint8_t uplink[6], const uint8_t tap[6]);
  void SetTap(const uint8_t mac[6]);
  // Readdresses an Ethernet frame of len bytes for the TAP.
  void Retarget(uint8_t *frame, size_t len) const;

 private:
  std::atomic<uint64_t> uplink_{0}, tap_{0};  // a MAC's 6 bytes each, 0 when unknown
};

}  // namespace zornfhost
