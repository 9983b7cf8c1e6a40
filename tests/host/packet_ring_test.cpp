// The uplink's receive ring, on the loopback device of a network namespace
// of the test's own: frames of every size come out whole, once and in the
// order sent, those larger than a slot (read beside the ring) among them;
// frames left out (this host's own, one too large for the room) keep the
// large frames after them right.
#include "host/packet_ring.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "offload/vnet_header.h"

namespace {

using zornfhost::LargeFrameRoom;
using zornfhost::PacketRing;
using zornfhost::RingFrame;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kTestType = 0x88B5;  // the local experimental Ethernet type

class RingTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "a namespace of the test's own (needs root)";
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP;
    ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &ifr), 0);
    close(s);
  }

  void SetUp() override {
    lo = static_cast<int>(if_nametoindex("lo"));
    rx = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    tx = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    int one = 1;
    ASSERT_EQ(setsockopt(rx, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one), 0);
    ASSERT_TRUE(ring.Open(rx)) << strerror(errno);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = lo;
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  }
  void TearDown() override {
    close(tx);
    close(rx);
  }

  // Sends frames of these lengths; the n-th carries n in its first bytes.
  void Send(const std::vector<size_t> &lengths) {
    for (size_t len : lengths) {
      Bytes f = Frame(sent.size(), len);
      sockaddr_ll to{};
      to.sll_family = AF_PACKET;
      to.sll_ifindex = lo;
      ASSERT_EQ(sendto(tx, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                static_cast<ssize_t>(f.size()));
      sent.push_back(f);
    }
  }

  static Bytes Frame(size_t n, size_t len) {
    Bytes f(len);
    std::memcpy(f.data(), "\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02", 12);
    store_be16(&f[12], kTestType);
    for (size_t i = 14; i < len; i++) f[i] = static_cast<uint8_t>(n * 7 + i);
    return f;
  }

  // The test's frames taken from the ring, in `rooms` rooms of `room_size`,
  // until `count` came or `within` passed.
  std::vector<Bytes> Receive(size_t count, size_t room_size, size_t rooms,
                             std::chrono::milliseconds within = std::chrono::seconds(5)) {
    std::vector<uint8_t> room(room_size * rooms);
    const LargeFrameRoom large{room.data(), room_size, rooms};
    std::vector<Bytes> got;
    const auto end = std::chrono::steady_clock::now() + within;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{rx, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      RingFrame frames[256];
      size_t n = ring.Take(frames, 256, large);
      for (size_t k = 0; k < n; k++) {
        const uint8_t *f = frames[k].bytes + sizeof(zor::offload::VnetHeader);
        const size_t len = frames[k].len - sizeof(zor::offload::VnetHeader);
        if (len >= 14 && load_be16(f + 12) == kTestType) got.emplace_back(f, f + len);
      }
      ring.Release();
    }
    return got;
  }

  int lo = 0, rx = -1, tx = -1;
  PacketRing ring;
  std::vector<Bytes> sent;
};

constexpr size_t kLarge = sizeof(zor::offload::VnetHeader) + 66 * 1024;

TEST_F(RingTest, FramesOfEverySizeComeWholeOnceAndInOrder) {
  // Up to 1900 bytes a frame fits a slot; from 2000 on it is read beside it.
  Send({60, 1500, 1900, 2000, 9000, 64, 65000, 1400, 3000, 1514});
  EXPECT_EQ(Receive(sent.size(), kLarge, 4), sent);
  EXPECT_TRUE(Receive(1, kLarge, 4, std::chrono::milliseconds(300)).empty())
      << "a frame came twice (this host's own copy?)";
}

TEST_F(RingTest, LargeFramesBeyondTheRoomWaitForTheNextTake) {
  Send({100, 9000, 9000, 9000, 100, 20000});
  EXPECT_EQ(Receive(sent.size(), kLarge, 1), sent);
}

TEST_F(RingTest, ALargeFrameTheRoomCannotHoldIsLeftOutAndTheNextStillComeRight) {
  Send({100, 9000, 3000, 100, 4000});
  std::vector<Bytes> expected = {sent[0], sent[2], sent[3], sent[4]};
  EXPECT_EQ(Receive(expected.size(), 4096 + sizeof(zor::offload::VnetHeader), 4), expected);
}

TEST_F(RingTest, TheSlotsComeRoundAgainOnceGivenBack) {
  // 10 rounds of 500 frames go round the ring's 4096 slots.
  for (int round = 0; round < 10; round++) {
    const size_t first = sent.size();
    Send(std::vector<size_t>(500, 200));
    ASSERT_EQ(Receive(500, kLarge, 4), std::vector<Bytes>(sent.begin() + first, sent.end()))
        << "round " << round;
  }
}

}  // namespace
