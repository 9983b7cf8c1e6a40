// The in-order pipeline: whatever the workers' timing, every slot is
// worked once and finished once, in the order handed over, one at a time;
// a full ring holds the submitter back; no worker count changes a result.
#include "pipeline/ordered_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using zor::pipeline::OrderedPipeline;
using namespace std::chrono_literals;

// Hands `count` items through a pipeline; each slot carries its item's
// number, `work` squares it after a delay of delay(item), `finish` appends
// it. Returns what finish saw.
std::vector<uint64_t> HandThrough(unsigned workers, size_t slots, uint64_t count,
                          const std::function<std::chrono::microseconds(uint64_t)> &delay,
                          bool caught_up = false) {
  std::vector<uint64_t> item(slots), result(slots), out;
  std::atomic<int> finishing{0};
  bool overlapped = false;
  OrderedPipeline p(
      workers, slots,
      [&](size_t s) {
        std::this_thread::sleep_for(delay(item[s]));
        result[s] = item[s] * item[s];
      },
      [&](size_t s) {
        overlapped = overlapped || finishing.fetch_add(1) != 0;
        out.push_back(result[s]);
        finishing.fetch_sub(1);
      });
  for (uint64_t i = 0; i < count; i++) {
    size_t s = p.Next();
    item[s] = i;
    p.Submit(caught_up);
  }
  p.Drain();
  EXPECT_FALSE(overlapped) << "two slots were finished at once";
  return out;
}

std::vector<uint64_t> Squares(uint64_t count) {
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < count; i++) v.push_back(i * i);
  return v;
}

TEST(OrderedPipeline, FinishesInTheOrderHandedOverWhateverTheWorkersTake) {
  std::mt19937 rng(7);
  for (unsigned workers : {0u, 1u, 2u, 3u, 4u}) {
    for (size_t slots : {1u, 2u, 5u, 16u}) {
      std::vector<std::chrono::microseconds> delays(300);
      for (auto &d : delays) d = std::chrono::microseconds(rng() % 200);
      EXPECT_EQ(HandThrough(workers, slots, delays.size(), [&](uint64_t i) { return delays[i]; }),
                Squares(delays.size()))
          << workers << " workers, " << slots << " slots";
    }
  }
}

TEST(OrderedPipeline, AWorkerThatEndsLastStillHasItsSlotFinishedFirst) {
  // Item 0 takes far longer than the others, which are all done before it.
  auto delay = [](uint64_t i) { return i == 0 ? 50ms : std::chrono::microseconds(0); };
  EXPECT_EQ(HandThrough(4, 8, 8, delay), Squares(8));
}

TEST(OrderedPipeline, CaughtUpSlotsGiveTheSameResults) {
  auto delay = [](uint64_t i) { return std::chrono::microseconds(i % 3 * 50); };
  EXPECT_EQ(HandThrough(3, 6, 200, delay, true), Squares(200));
}

TEST(OrderedPipeline, AFullRingHoldsTheSubmitterUntilASlotIsFinished) {
  std::atomic<bool> release{false};
  std::atomic<int> worked{0}, finished{0};
  OrderedPipeline p(
      2, 2,
      [&](size_t) {
        while (!release) std::this_thread::sleep_for(1ms);
        worked++;
      },
      [&](size_t) { finished++; });
  p.Next();
  p.Submit();
  p.Next();
  p.Submit();
  std::atomic<bool> got_third{false};
  std::thread submitter([&] {
    p.Next();
    got_third = true;
    p.Submit();
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(got_third) << "a third slot was given while both were in flight";
  release = true;
  submitter.join();
  p.Drain();
  EXPECT_EQ(worked, 3);
  EXPECT_EQ(finished, 3);
}

TEST(OrderedPipeline, EndingFinishesWhatWasHandedOver) {
  std::vector<int> out;
  {
    OrderedPipeline p(
        3, 4, [](size_t) { std::this_thread::sleep_for(2ms); },
        [&](size_t s) { out.push_back((int)s); });
    for (int i = 0; i < 4; i++) {
      p.Next();
      p.Submit();
    }
  }
  EXPECT_EQ(out, (std::vector<int>{0, 1, 2, 3}));
}

}  // namespace
