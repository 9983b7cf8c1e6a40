#include "host/checksum.h"

#include <cstring>

namespace zornfhost {

uint64_t checksum_add(uint64_t sum, const uint8_t *data, size_t len) {
  // 32-bit big-endian words into a 64-bit accumulator: carries are folded
  // at the end.
  while (len >= 4) {
    uint32_t w;
    std::memcpy(&w, data, 4);
    sum += __builtin_bswap32(w);
    data += 4;
    len -= 4;
  }
  if (len >= 2) {
    sum += static_cast<uint32_t>(data[0]) << 8 | data[1];
    data += 2;
    len -= 2;
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
  if (start >= len || field + 2 > len) return false;
  std::memcpy(saved, frame + field, 2);
  uint16_t sum = checksum_fold(checksum_add(0, frame + start, len - start));
  if (sum == 0 && hdr.csum_offset == 6) sum = 0xFFFF;  // UDP sends 0 as all ones
  frame[field] = static_cast<uint8_t>(sum >> 8);
  frame[field + 1] = static_cast<uint8_t>(sum);
  return true;
}

void restore_partial_checksum(const VnetHeader &hdr, uint8_t *frame, uint16_t saved) {
  std::memcpy(frame + hdr.csum_start + hdr.csum_offset, &saved, 2);
}

}  // namespace zornfhost
