// The gateway simulator's reassembly of the IPv4 fragments its tunnel
// device hands over: a data datagram carries whole packets only (it has no
// fragment offset), so a gateway's kernel gives the tunnel each packet
// whole before it is wrapped, and so does this. Fragments of one packet
// (addresses, protocol, identification) wait until their bytes cover it; a
// duplicate is ignored, other overlapping bytes end the packet, as do
// kMaxEntries newer packets or kLifetime. What is not a fragment passes as
// it is.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace gwsim {

class InnerFragments {
 public:
  static constexpr size_t kMaxEntries = 64;
  static constexpr std::chrono::seconds kLifetime{10};

  // A frame of n bytes read from the device (virtio-net header first) with
  // room for `room` bytes: true when it is to be carried now, as it is or
  // (n updated) as the whole packet its fragment completes, without
  // offloads; false when it was kept or dropped.
  bool Take(uint8_t *buf, size_t *n, size_t room,
            std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  size_t waiting() const { return entries_.size(); }

 private:
  using Key = std::tuple<uint32_t, uint32_t, uint8_t, uint16_t>;
  struct Entry {
    std::vector<uint8_t> header;              // the first fragment's IPv4 header
    std::map<uint32_t, std::vector<uint8_t>> pieces;  // by offset
    uint32_t total = 0;                       // payload bytes; 0 until the last came
    uint64_t serial = 0;
    std::chrono::steady_clock::time_point deadline;
  };
  void Expire(std::chrono::steady_clock::time_point now);
  static bool Overlaps(const Entry &e, uint32_t off, size_t len);
  static bool Complete(const Entry &e);

  std::map<Key, Entry> entries_;
  uint64_t serial_ = 0;
};

}  // namespace gwsim
