#include "offload/checksum.h"

#include <cstring>

#include "byte_order.h"

namespace zor::offload {
namespace {

// Where a UDP header holds its checksum (a TCP header holds it further on).
constexpr uint16_t kUdpChecksumOffset = 6;

}  // namespace

uint64_t checksum_add(uint64_t sum, const uint8_t *data, size_t len) {
  // 32-bit big-endian words into a 64-bit accumulator: carries are folded
  // at the end.
  for (; len >= sizeof(uint32_t); data += sizeof(uint32_t), len -= sizeof(uint32_t))
    sum += load_be32(data);
  if (len >= sizeof(uint16_t)) {
    sum += load_be16(data);
    data += sizeof(uint16_t);
    len -= sizeof(uint16_t);
  }
  if (len) sum += static_cast<uint32_t>(data[0]) << 8;
  return sum;
}

uint16_t checksum_fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

bool complete_partial_checksum(const VnetHeader &hdr, uint8_t *frame, size_t len,
                               uint16_t *saved) {
  size_t start = hdr.csum_start;
  size_t field = start + hdr.csum_offset;
  if (start >= len || field + sizeof *saved > len) return false;
  std::memcpy(saved, frame + field, sizeof *saved);
  uint16_t sum = checksum_fold(checksum_add(0, frame + start, len - start));
  if (sum == 0 && hdr.csum_offset == kUdpChecksumOffset) sum = 0xFFFF;  // UDP sends 0 as all ones
  store_be16(frame + field, sum);
  return true;
}

void restore_partial_checksum(const VnetHeader &hdr, uint8_t *frame, uint16_t saved) {
  std::memcpy(frame + hdr.csum_start + hdr.csum_offset, &saved, sizeof saved);
}

}  // namespace zor::offload
