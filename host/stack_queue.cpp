#include "host/stack_queue.h"

namespace zornfhost {

void StackQueue::Push(const RingFrame *frames, size_t count, size_t skip) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t k = 0; k < count; k++)
      if (!queue_.Push(frames[k].bytes, frames[k].len, skip)) no_memory_++;
  }
  if (count) more_.notify_one();
}

size_t StackQueue::Take(FairQueue::Frame **out, size_t max, size_t max_bytes,
                        std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  more_.wait_for(lock, bound, [this] { return !queue_.empty() || stopped_; });
  return stopped_ ? 0 : queue_.Pop(out, max, max_bytes);
}

void StackQueue::GiveBack(FairQueue::Frame *const *frames, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t k = 0; k < count; k++) queue_.Free(frames[k]);
}

void StackQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  more_.notify_all();
}

bool StackQueue::stopped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

uint64_t StackQueue::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.dropped() + no_memory_;
}

}  // namespace zornfhost
