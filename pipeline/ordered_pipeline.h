// Work handed over by one reader, done by worker threads side by side and
// finished in the order it was handed over.
//
// The pipeline is a ring of slots: the caller keeps one unit of work per
// slot (its buffers, its results) in an array of its own. It fills the
// slot Next() names and hands it over with Submit(). Each free worker takes
// the oldest slot not yet taken and runs `work` on it; whichever worker
// completes the oldest unfinished slot runs `finish` on it and on the slots
// behind it that are done, one at a time, so `finish` sees the slots in the
// order they were handed over and never two at once. A slot is filled again
// only once it is finished: a full ring makes Next() wait.
//
// The workers are a WorkerPool (worker_pool.h): each slot handed over is a
// task of its queue. With fewer than two workers there are no threads:
// Submit() works and finishes the slot on the caller's thread, with the
// same results.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "pipeline/worker_pool.h"

namespace zor::pipeline {

class OrderedPipeline {
 public:
  using Stage = std::function<void(size_t slot)>;
  // workers threads (none below 2) over `slots` slots (at least 1).
  OrderedPipeline(unsigned workers, size_t slots, Stage work, Stage finish);
  // Finishes what was handed over, then ends the workers.
  ~OrderedPipeline();
  OrderedPipeline(const OrderedPipeline &) = delete;
  OrderedPipeline &operator=(const OrderedPipeline &) = delete;

  size_t slots() const { return slots_; }
  unsigned workers() const { return pool_ ? pool_->threads() : 0; }

  // Next() and Submit() are called by one thread at a time (callers with
  // several submitters serialise them).
  // The slot to fill next; waits while its previous use is unfinished.
  size_t Next();
  // Hands over the slot Next() named. caught_up: the caller took all its
  // source had, so it would wait next. Such a slot that finds nothing in
  // flight is worked and finished on the caller's thread: a worker would
  // only add a wake-up, and the time it takes lets the next slot fill up.
  // A slot that left more waiting goes to the workers, so that the caller
  // reads on.
  void Submit(bool caught_up = false);
  // Waits until everything handed over is finished.
  void Drain();

 private:
  // A worker's task: takes the oldest slot not yet taken, works it and
  // finishes what is done in order.
  static void WorkNext(void *pipeline);
  // Caller holds mu_: finishes the oldest slots that are done, unless
  // another thread is doing so.
  void FinishInOrder(std::unique_lock<std::mutex> &lock);
  void RunInline(size_t slot);

  const size_t slots_;
  const Stage work_, finish_;
  std::mutex mu_;
  std::condition_variable finished_one_;
  // Counts of slots handed over, taken by a worker and finished, since the
  // start; slot of the n-th hand-over: n % slots_.
  uint64_t submitted_ = 0, taken_ = 0, finished_ = 0;
  std::vector<bool> done_;
  bool finishing_ = false;
  std::unique_ptr<WorkerPool> pool_;  // none below two workers
};

}  // namespace zor::pipeline
