// The shutdown's watchdog against a scripted filter: while a request of the
// daemon's own channel hangs, its last act is the filter disconnect on a
// socket of its own, and its end comes at the bound whatever the filter does.
#include "Service/common/core/shutdown_watchdog.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "Service/common/engine/drv_channel.h"
#include "kernel/include/drv_requests.h"
#include "tests/engine/engine_fixture.h"
#include "tests/service/ipc_test_support.h"

namespace {

using enginetest::FramedArea;
using Clock = std::chrono::steady_clock;

std::atomic<int> g_ends{0};
std::atomic<int> g_disconnectsAtEnd{-1};
enginetest::NetlinkPeer* g_peer = nullptr;

void recordEnd() {
  g_disconnectsAtEnd = g_peer->requests(RQC_DISCONNECT);
  g_ends++;
}

class ShutdownWatchdogTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_ends = 0;
    g_disconnectsAtEnd = -1;
    g_peer = &peer;
    SendIRP_ReplyTimeoutMs = kHangMs;
  }
  // Far beyond the bounds below: an end that waited for the hanging request
  // comes this late.
  static constexpr unsigned kHangMs = 6000;
  // A request of the daemon's channel that the filter never answers, on a
  // thread of its own; it holds SendIRP_Busy for its whole time-out.
  std::thread hangingRequest() {
    return std::thread([] {
      uint8_t buf[DRV_PREFIX_ROOM + 8] = {};
      SendIRP(RQC_GETINFO, buf + DRV_PREFIX_ROOM, 8, nullptr);
    });
  }
};

TEST_F(ShutdownWatchdogTest, TakesTheTunnelDownBesideAHangingRequestThenEnds) {
  filter.areas[RQC_DISCONNECT] = FramedArea(0, 0, {});
  std::thread hang = hangingRequest();
  ASSERT_TRUE(Eventually([&] { return peer.requests(RQC_GETINFO) == 1; }));
  const unsigned bound = kWatchdogLastActMs + 500;
  auto start = Clock::now();
  StartShutdownWatchdog(bound, recordEnd);
  EXPECT_TRUE(Eventually([] { return g_ends.load() == 1; }, kHangMs + 2000));
  auto took = Clock::now() - start;
  EXPECT_EQ(g_disconnectsAtEnd.load(), 1) << "the end came before the disconnect";
  EXPECT_GE(took, std::chrono::milliseconds(bound - kWatchdogLastActMs));
  EXPECT_LT(took, std::chrono::milliseconds(bound + 1500)) << "the end waited for the hanging request";
  EXPECT_NE(enginetest::LogText().find("Shutdown still running after 500 ms"), std::string::npos);
  hang.join();
}

TEST_F(ShutdownWatchdogTest, EndsAtTheBoundWhileItsDisconnectStillWaits) {
  const unsigned bound = 500;  // less than the disconnect's own time-out
  auto start = Clock::now();
  StartShutdownWatchdog(bound, recordEnd);
  ASSERT_TRUE(Eventually([] { return g_ends.load() == 1; }, 5000));
  auto took = Clock::now() - start;
  EXPECT_EQ(g_disconnectsAtEnd.load(), 1) << "the disconnect was sent (and not answered)";
  EXPECT_GE(took, std::chrono::milliseconds(bound - 10));
  // The disconnect's reply may take 1500 ms: an end that waited for it comes then.
  EXPECT_LT(took, std::chrono::milliseconds(bound + 700)) << "the end waited for the disconnect's reply";
}

}  // namespace
