#include "pipeline/worker_pool.h"

#include <pthread.h>

namespace zor::pipeline {

WorkerPool::WorkerPool(unsigned threads, size_t depth, Hooks hooks)
    : hooks_(hooks), ring_(depth ? depth : 1), running_(threads, kIdle) {
  for (unsigned i = 0; i < threads; i++) threads_.emplace_back(&WorkerPool::Loop, this, i);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  more_.notify_all();
  for (std::thread &t : threads_) t.join();
}

void WorkerPool::Push(std::unique_lock<std::mutex> &lock, Task task) {
  ring_[(head_ + count_) % ring_.size()] = task;
  count_++;
  submitted_++;
  lock.unlock();
  more_.notify_one();
}

void WorkerPool::Submit(Task task) {
  std::unique_lock<std::mutex> lock(mu_);
  room_.wait(lock, [&] { return count_ < ring_.size(); });
  Push(lock, task);
}

bool WorkerPool::TrySubmit(Task task) {
  std::unique_lock<std::mutex> lock(mu_);
  if (count_ == ring_.size()) return false;
  Push(lock, task);
  return true;
}

// Every task numbered below the target has been taken; done once none of
// them is still running on a thread.
void WorkerPool::Flush() {
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t target = submitted_;
  ran_.wait(lock, [&] {
    if (taken_ < target) return false;
    for (const uint64_t seq : running_)
      if (seq < target) return false;
    return true;
  });
}

void WorkerPool::Loop(unsigned index) {
  if (hooks_.name) pthread_setname_np(pthread_self(), hooks_.name);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    more_.wait(lock, [&] { return count_ || stop_; });
    if (!count_) return;  // stopping, nothing left
    const Task task = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    count_--;
    running_[index] = taken_++;
    lock.unlock();
    room_.notify_one();
    if (hooks_.before) hooks_.before(index);
    task.fn(task.arg);
    if (hooks_.after) hooks_.after();
    lock.lock();
    running_[index] = kIdle;
    ran_.notify_all();
  }
}

}  // namespace zor::pipeline
