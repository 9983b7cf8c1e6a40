// The feeder's step: the batches it takes from the stack queue for one call
// of the filter hold at most 64 frames and 64 KiB, a larger frame alone,
// every frame in its order and handed over as it was queued.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/stack_batch.h"

namespace {

using namespace zornfhost;

constexpr size_t kSkip = 12;  // the host's header in front of each frame

struct Case {
  const char *name;
  std::vector<size_t> lengths;  // of the frames queued, headers included
  std::vector<size_t> batches;  // the frames of each batch taken
};

std::vector<size_t> times(size_t n, size_t len) { return std::vector<size_t>(n, len); }

std::vector<size_t> joined(std::vector<size_t> a, const std::vector<size_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Queues the case's frames and takes batches until none is left.
void check(const Case &c) {
  StackQueue queue(1 << 20, 1024);
  std::vector<std::vector<uint8_t>> frames;
  std::vector<RingFrame> ring;
  for (size_t k = 0; k < c.lengths.size(); k++) {
    frames.emplace_back(c.lengths[k], 0);
    frames.back()[kSkip] = static_cast<uint8_t>(k);  // not IPv4: one flow, in order
    ring.push_back({frames.back().data(), frames.back().size()});
  }
  queue.Push(ring.data(), ring.size(), kSkip);
  StackBatch batch;
  size_t next = 0;
  for (size_t expected : c.batches) {
    batch.Take(queue, std::chrono::milliseconds(0));
    ASSERT_EQ(batch.count, expected) << "batch from frame " << next;
    for (size_t k = 0; k < batch.count; k++, next++) {
      ASSERT_EQ(batch.frames[k].len, c.lengths[next]);
      EXPECT_EQ(std::memcmp(batch.frames[k].bytes, frames[next].data(), c.lengths[next]), 0);
    }
    batch.GiveBack(queue);
  }
  batch.Take(queue, std::chrono::milliseconds(0));
  EXPECT_EQ(batch.count, 0u) << "frames left behind";
}

TEST(StackBatchTest, BatchesStayWithinFramesAndBytes) {
  const Case cases[] = {
      {"65 small frames", times(65, 100), {64, 1}},
      {"frames of 64 KiB together", times(16, 4096), {16}},
      {"one byte more", joined(times(15, 4096), {4097}), {15, 1}},
      {"a frame over 64 KiB alone", {65537, 100}, {1, 1}},
      {"a frame over 64 KiB behind a small one", {100, 65537}, {1, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    check(c);
  }
}

}  // namespace
