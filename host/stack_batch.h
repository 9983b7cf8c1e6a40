// The feeder's step: one batch of a pair's stack queue for one call of the
// filter, at most kStackBatch frames and kStackBatchBytes bytes (which
// bounds what one call does under the filter's lock); a frame larger than
// the byte bound goes alone.
#pragma once
#include <chrono>
#include <cstddef>

#include "host/fair_queue.h"
#include "host/packet_ring.h"
#include "host/stack_queue.h"

namespace zornfhost {

constexpr size_t kStackBatch = 64;
constexpr size_t kStackBatchBytes = 64 * 1024;

struct StackBatch {
  // Waits up to `bound` for frames, then takes a batch: frames[k] are the
  // bytes of taken[k].
  void Take(StackQueue &queue, std::chrono::milliseconds bound);
  // Gives the batch's frames back to the queue.
  void GiveBack(StackQueue &queue);

  FairQueue::Frame *taken[kStackBatch];
  RingFrame frames[kStackBatch];
  size_t count = 0;
};

}  // namespace zornfhost
