#include "pipeline/ordered_pipeline.h"

namespace zor::pipeline {

OrderedPipeline::OrderedPipeline(unsigned workers, size_t slots, Stage work, Stage finish)
    : slots_(slots ? slots : 1), work_(std::move(work)), finish_(std::move(finish)),
      done_(slots_, false) {
  // Never more tasks than slots: Submit() does not wait on the queue.
  if (workers >= 2) pool_ = std::make_unique<WorkerPool>(workers, slots_);
}

OrderedPipeline::~OrderedPipeline() {
  Drain();
  pool_.reset();
}

size_t OrderedPipeline::Next() {
  std::unique_lock<std::mutex> lock(mu_);
  finished_one_.wait(lock, [&] { return submitted_ - finished_ < slots_; });
  return (size_t)(submitted_ % slots_);
}

void OrderedPipeline::Submit(bool caught_up) {
  const size_t slot = (size_t)(submitted_ % slots_);
  if (!pool_) {
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
  pool_->Submit({WorkNext, this});
}

void OrderedPipeline::RunInline(size_t slot) {
  work_(slot);
  finish_(slot);
}

void OrderedPipeline::Drain() {
  std::unique_lock<std::mutex> lock(mu_);
  finished_one_.wait(lock, [&] { return finished_ == submitted_; });
}

void OrderedPipeline::WorkNext(void *pipeline) {
  auto *p = static_cast<OrderedPipeline *>(pipeline);
  std::unique_lock<std::mutex> lock(p->mu_);
  const size_t slot = (size_t)(p->taken_++ % p->slots_);
  lock.unlock();
  p->work_(slot);
  lock.lock();
  p->done_[slot] = true;
  p->FinishInOrder(lock);
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
