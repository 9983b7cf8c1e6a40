// Completion of offloaded checksums: the filter must see whole frames with
// their checksums filled in, and the frame that goes on must carry the
// partial sum again.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "offload/checksum.h"

namespace {

using namespace zor::offload;

// An Ethernet + IPv4 + transport frame whose checksum field holds the
// pseudo-header sum, as a stack leaves it for offload.
std::vector<uint8_t> partial_frame(uint8_t proto, size_t payload, VnetHeader *hdr) {
  size_t l4 = proto == 6 ? 20 : 8;
  std::vector<uint8_t> f(14 + 20 + l4 + payload);
  f[12] = 0x08;
  uint8_t *ip = &f[14];
  ip[0] = 0x45;
  ip[9] = proto;
  const uint8_t src[4] = {203, 0, 113, 2}, dst[4] = {198, 51, 100, 10};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  uint8_t *t = ip + 20;
  for (size_t i = 0; i < l4 + payload; i++) t[i] = static_cast<uint8_t>(i * 7 + 3);
  size_t csum_offset = proto == 6 ? 16 : 6;
  if (proto == 17) t[4] = static_cast<uint8_t>((8 + payload) >> 8), t[5] = static_cast<uint8_t>(8 + payload);
  t[csum_offset] = t[csum_offset + 1] = 0;
  uint64_t pseudo = checksum_add(0, ip + 12, 8) + proto + l4 + payload;
  uint16_t folded = static_cast<uint16_t>(~checksum_fold(pseudo));
  t[csum_offset] = static_cast<uint8_t>(folded >> 8);
  t[csum_offset + 1] = static_cast<uint8_t>(folded);
  *hdr = VnetHeader{kVnetNeedsCsum, 0, 0, 0, 34, static_cast<uint16_t>(csum_offset)};
  return f;
}

// A transport checksum verifies when pseudo header + segment sum to 0xFFFF.
bool verifies(const std::vector<uint8_t> &f) {
  const uint8_t *ip = &f[14];
  size_t seg = f.size() - 34;
  uint64_t sum = checksum_add(0, ip + 12, 8) + ip[9] + seg;
  sum = checksum_add(sum, ip + 20, seg);
  return checksum_fold(sum) == 0;
}

TEST(Checksum, PartialSumsAreCompletedAndRestored) {
  for (uint8_t proto : {uint8_t{6}, uint8_t{17}}) {
    for (size_t payload : {size_t{0}, size_t{1}, size_t{1459}, size_t{65000}}) {
      VnetHeader hdr;
      std::vector<uint8_t> f = partial_frame(proto, payload, &hdr);
      const std::vector<uint8_t> original = f;
      uint16_t saved = 0;
      ASSERT_TRUE(complete_partial_checksum(hdr, f.data(), f.size(), &saved));
      EXPECT_TRUE(verifies(f)) << "protocol " << int(proto) << " payload " << payload;
      restore_partial_checksum(hdr, f.data(), saved);
      EXPECT_EQ(f, original);
    }
  }
}

TEST(Checksum, OffsetsOutsideTheFrameAreRefused) {
  std::vector<uint8_t> f(60);
  uint16_t saved;
  EXPECT_FALSE(complete_partial_checksum(VnetHeader{kVnetNeedsCsum, 0, 0, 0, 60, 0}, f.data(), 60, &saved));
  EXPECT_FALSE(complete_partial_checksum(VnetHeader{kVnetNeedsCsum, 0, 0, 0, 40, 19}, f.data(), 60, &saved));
  EXPECT_TRUE(complete_partial_checksum(VnetHeader{kVnetNeedsCsum, 0, 0, 0, 40, 18}, f.data(), 60, &saved));
}

}  // namespace
