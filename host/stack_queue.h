// The local stack's frames between the two threads of a pair's stack side:
// the TAP's reader takes every frame the TAP holds into a fair queue
// (fair_queue.h), whatever room the filter has, and the feeder hands the
// filter batches of it while the filter's gate is open. The queue is the
// two threads' only meeting point, under one lock.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "host/fair_queue.h"
#include "host/packet_ring.h"

namespace zornfhost {

class StackQueue {
 public:
  StackQueue(size_t max_bytes, size_t max_frames) : queue_(max_bytes, max_frames) {}

  // Copies the frames in (each behind `skip` bytes of the host's header).
  void Push(const RingFrame *frames, size_t count, size_t skip);
  // Waits up to `bound` for frames, then takes one call's worth of them
  // (fair_queue.h's Pop); 0 when none came or the queue is stopped.
  size_t Take(FairQueue::Frame **out, size_t max, size_t max_bytes,
              std::chrono::milliseconds bound);
  void GiveBack(FairQueue::Frame *const *frames, size_t count);
  // Wakes the feeder for good: Take() returns 0 from now on.
  void Stop();
  bool stopped();
  // Frames dropped: over the queue's bounds, or finding no memory.
  uint64_t dropped();

 private:
  std::mutex mutex_;
  std::condition_variable more_;
  FairQueue queue_;
  bool stopped_ = false;
  uint64_t no_memory_ = 0;
};

}  // namespace zornfhost
