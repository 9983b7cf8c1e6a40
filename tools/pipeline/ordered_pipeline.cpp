#include "tools/pipeline/ordered_pipeline.h"

namespace zor::pipeline {

OrderedPipeline::OrderedPipeline(unsigned workers, size_t slots, Stage work, Stage finish)
    : slots_(slots ? slots : 1), work_(std::move(work)), finish_(std::move(finish)),
      done_(slots_, false) {
  if (workers < 2) return;
  for (unsigned i = 0; i < workers; i++) threads_.emplace_back(&OrderedPipeline::WorkerLoop, this);
}

OrderedPipeline::~OrderedPipeline() {
  Drain();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  has_work_.notify_all();
  for (std::thread &t : threads_) t.join();
}

size_t OrderedPipeline::Next() {
  std::unique_lock<std::mutex> lock(mu_);
  finished_one_.wait(lock, [&] { return submitted_ - finished_ < slots_; });
  return (size_t)(submitted_ % slots_);
}

void OrderedPipeline::Submit(bool caught_up) {
  const size_t slot = (size_t)(submitted_ % slots_);
  if (threads_.empty()) {
    RunInline(slot);
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = ++submitted_;
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (caught_up && finished_ == submitted_ && !finishing_) {
    // Nothing in flight: no worker can take or finish this slot meanwhile.
    submitted_++;
    taken_++;
    finishing_ = true;
    lock.unlock();
    RunInline(slot);
    lock.lock();
    finishing_ = false;
    finished_++;
    finished_one_.notify_all();
    return;
  }
  submitted_++;
  lock.unlock();
  has_work_.notify_one();
}

void OrderedPipeline::RunInline(size_t slot) {
  work_(slot);
  finish_(slot);
}

void OrderedPipeline::Drain() {
  std::unique_lock<std::mutex> lock(mu_);
  finished_one_.wait(lock, [&] { return finished_ == submitted_; });
}

void OrderedPipeline::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    has_work_.wait(lock, [&] { return stopping_ || taken_ < submitted_; });
    if (taken_ == submitted_) return;  // stopping, nothing left
    const size_t slot = (size_t)(taken_++ % slots_);
    lock.unlock();
    work_(slot);
    lock.lock();
    done_[slot] = true;
    FinishInOrder(lock);
  }
}

void OrderedPipeline::FinishInOrder(std::unique_lock<std::mutex> &lock) {
  if (finishing_) return;  // that thread sees this slot done before it stops
  finishing_ = true;
  while (finished_ < submitted_ && done_[finished_ % slots_]) {
    const size_t slot = (size_t)(finished_ % slots_);
    lock.unlock();
    finish_(slot);
    lock.lock();
    done_[slot] = false;
    finished_++;
    finished_one_.notify_all();
  }
  finishing_ = false;
}

}  // namespace zor::pipeline
