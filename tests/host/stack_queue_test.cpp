// The stack queue between the TAP's reader and the feeder: a feeder waiting
// for frames wakes as soon as the reader queues some, a stop ends its wait
// at once and for good, and what the queue's bounds refuse is counted.
#include "host/stack_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zornfhost::FairQueue;
using zornfhost::RingFrame;
using zornfhost::StackQueue;
using Clock = std::chrono::steady_clock;

// Far longer than a wake takes, far shorter than the take's own bound.
constexpr auto kSoon = 500ms;
constexpr auto kTakeBound = 5s;

class StackQueueTest : public testing::Test {
 protected:
  void Push(size_t count) {
    std::vector<RingFrame> frames(count, RingFrame{frame, sizeof frame});
    queue.Push(frames.data(), frames.size(), 0);
  }
  // Takes with kTakeBound on a thread of its own.
  std::future<size_t> TakeLater() {
    return std::async(std::launch::async, [this] {
      const size_t n = queue.Take(taken, 64, 1 << 16, kTakeBound);
      queue.GiveBack(taken, n);
      return n;
    });
  }

  uint8_t frame[60] = {};
  FairQueue::Frame *taken[64];
  StackQueue queue{1 << 20, 4};
};

TEST_F(StackQueueTest, AWaitingTakeWakesSoonAfterAPushFromAnotherThread) {
  std::future<size_t> take = TakeLater();
  std::this_thread::sleep_for(100ms);  // the take waits by now
  const Clock::time_point pushed = Clock::now();
  Push(3);
  ASSERT_EQ(take.wait_for(kTakeBound + 1s), std::future_status::ready);
  EXPECT_LT(Clock::now() - pushed, kSoon) << "the take waited out its bound";
  EXPECT_EQ(take.get(), 3u);
}

TEST_F(StackQueueTest, AStopEndsAWaitingTakeAtOnceAndEveryTakeAfterIt) {
  std::future<size_t> take = TakeLater();
  std::this_thread::sleep_for(100ms);
  queue.Stop();
  ASSERT_EQ(take.wait_for(kSoon), std::future_status::ready) << "the take still waits";
  EXPECT_EQ(take.get(), 0u);
  EXPECT_TRUE(queue.stopped());
  Push(1);
  EXPECT_EQ(queue.Take(taken, 64, 1 << 16, kTakeBound), 0u) << "a take after the stop";
}

TEST_F(StackQueueTest, FramesOverTheBoundsAreDroppedAndCounted) {
  Push(10);
  EXPECT_EQ(queue.dropped(), 6u);
  const size_t n = queue.Take(taken, 64, 1 << 16, 0ms);
  EXPECT_EQ(n, 4u);
  queue.GiveBack(taken, n);
  EXPECT_EQ(queue.dropped(), 6u);
}

}  // namespace
