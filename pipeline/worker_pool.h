// Worker threads that run the tasks handed to them from one bounded queue:
// the oldest task first, on whichever thread is free. zornfhost runs the
// library's deferred work on one (KERN_work_queue); the in-order pipeline
// (ordered_pipeline.h) hands its slots to one.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace zor::pipeline {

struct WorkerPoolHooks {
  const char *name = nullptr;                 // the threads' name; may be null
  void (*before)(unsigned thread) = nullptr;  // before each task; may be null
  void (*after)() = nullptr;                  // after each task; may be null
};

class WorkerPool {
 public:
  struct Task {
    void (*fn)(void *arg);
    void *arg;
  };
  using Hooks = WorkerPoolHooks;

  // `threads` threads over a queue of `depth` tasks (at least 1).
  WorkerPool(unsigned threads, size_t depth, Hooks hooks = {});
  // Runs what is queued, then ends the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  unsigned threads() const { return (unsigned)threads_.size(); }
  // Queues the task, waiting while the queue is full.
  void Submit(Task task);
  // Queues the task unless the queue is full: false then, and the task is
  // the caller's.
  bool TrySubmit(Task task);
  // Waits until every task submitted so far has run, its after hook too.
  void Flush();

 private:
  void Loop(unsigned index);
  // With mu_ held, room in the ring: queues the task.
  void Push(std::unique_lock<std::mutex> &lock, Task task);

  const Hooks hooks_;
  std::mutex mu_;
  std::condition_variable more_, room_, ran_;
  std::vector<Task> ring_;
  size_t head_ = 0, count_ = 0;
  // Tasks submitted and tasks taken from the queue since the start: the
  // queue hands them out in order, so the n-th taken is the n-th submitted.
  uint64_t submitted_ = 0, taken_ = 0;
  // Per thread, the number of the task it runs (with its after hook), or
  // kIdle.
  static constexpr uint64_t kIdle = UINT64_MAX;
  std::vector<uint64_t> running_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zor::pipeline
