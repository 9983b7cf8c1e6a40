// The destination of the frames written to the TAP: a frame for the
// uplink's MAC is readdressed to the TAP's, every other frame stays as it
// came.
#include <gtest/gtest.h>

#include <vector>

#include "host/stack_address.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kUplink[6] = {0x02, 0, 0, 0, 0, 0x01}, kTap[6] = {0x02, 0, 0, 0, 0, 0x02};

// An Ethernet frame of `len` bytes (at least the MAC) to `dst`, from 02:..:09.
Bytes frame_to(const uint8_t *dst, size_t len = 60) {
  Bytes f(len, 0x09);
  std::copy(dst, dst + std::min<size_t>(6, len), f.begin());
  return f;
}

TEST(StackAddressTest, OnlyFramesForTheUplinksMacAreReaddressed) {
  const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, other[6] = {0x02, 0, 0, 0, 0, 0x07};
  struct Case {
    const char *name;
    Bytes in, out;
  } cases[] = {
      {"for the uplink", frame_to(kUplink), frame_to(kTap)},
      {"for the TAP", frame_to(kTap), frame_to(kTap)},
      {"broadcast", frame_to(broadcast), frame_to(broadcast)},
      {"for another host", frame_to(other), frame_to(other)},
      {"shorter than a MAC", frame_to(kUplink, 5), frame_to(kUplink, 5)},
  };
  zornfhost::StackAddress address;
  address.Set(kUplink, kTap);
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    address.Retarget(c.in.data(), c.in.size());
    EXPECT_EQ(c.in, c.out);
  }
}

}  // namespace
