// Control requests on one thread while frames pass on another, as the
// service's requests and the host's feeder meet: the handshake's requests
// change the tunnel state under the lock the packet path holds, so a frame
// sees a session before its keys or with all of it set, never a connected
// one whose guard and counters are still being reset. Every session the
// handshakes bring up carries the frames that follow it. A ThreadSanitizer
// build reports any of that state touched outside the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "drv_requests.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using gwsim::TunnelPeer;
using namespace std::chrono_literals;

constexpr int kRounds = 8;

TEST(ControlWhileFramesPass, EachHandshakeBringsUpAWholeSession) {
  Harness h;
  const Harness::Keys keys = Harness::Keys::Make();
  // A datagram of the gateway's kind that no session opens.
  Bytes stray(64, 0);
  stray[0] = 0x5a;
  // The feeder offers frames while feed is set; paused tells that it
  // stopped, so that the gateway takes the datagrams in the order sent.
  std::atomic<bool> running{true}, feed{false}, paused{true};
  std::thread feeder([&] {
    Ip ip;
    ip.proto = 1;
    for (uint16_t seq = 1; running; seq++) {
      paused = !feed;
      if (paused) {
        std::this_thread::sleep_for(100us);
        continue;
      }
      h.FromStack(FromClient(ip, IcmpEcho(9, seq, Bytes(32, 0x77))));
      h.FromNet(h.GatewayFrame(stray));
    }
  });
  for (int round = 0; round < kRounds; round++) {
    feed = true;
    const bool up = h.Connect(false, Harness::Stage::kConnected, &keys);
    std::this_thread::sleep_for(2ms);
    feed = false;
    while (!paused) std::this_thread::sleep_for(100us);
    if (!up) {
      ADD_FAILURE() << "round " << round << ": no connection";
      break;
    }
    Ip ip;
    ip.proto = 1;
    EXPECT_EQ(h.FromStack(FromClient(ip, IcmpEcho(9, 0, Bytes(32, 0x77)))), 1u);
    const auto results = h.ToGateway(h.Drain());
    EXPECT_FALSE(results.empty()) << "round " << round << ": the session carried nothing";
    for (const TunnelPeer::Result &r : results)
      EXPECT_EQ(r.kind, TunnelPeer::Kind::kData) << "round " << round << ": " << r.error;
    EXPECT_EQ(h.Request(RQC_DISCONNECT, Bytes(8)), 24);
  }
  running = false;
  feeder.join();
}

}  // namespace
}  // namespace pp
