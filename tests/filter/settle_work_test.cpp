// Settling the filter's works at teardown: it returns only once every work
// queued through FilterQueueWork has ended, and the worker's after hook
// (where the host reports completions) with it, also for a work that another
// work queued and whose function ended before the one that queued it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/work_queue.h"
#include "kernel/filter/deferred_work.h"

namespace {

using namespace std::chrono_literals;

std::atomic<bool> inner_ran{false}, inner_after_done{false};
thread_local bool inner_on_this_thread = false;

// The after hook of the inner work is the slow one.
void after_work() {
  if (!inner_on_this_thread) return;
  inner_on_this_thread = false;
  std::this_thread::sleep_for(100ms);
  inner_after_done = true;
}

void run_inner(KERN_work *) {
  inner_on_this_thread = true;
  inner_ran = true;
  FilterWorkDone();
}

KERN_work inner{run_inner};

// Queues the inner work and ends after its function did.
void run_outer(KERN_work *) {
  ASSERT_EQ(FilterQueueWork(&inner), 0u);
  for (int i = 0; i < 1000 && !inner_ran; i++) std::this_thread::sleep_for(1ms);
  FilterWorkDone();
}

KERN_work outer{run_outer};

TEST(SettleWork, WaitsForTheAfterHookOfAWorkQueuedByAnother) {
  zornfhost::start_workers(2, 4, {nullptr, after_work});
  ASSERT_EQ(FilterQueueWork(&outer), 0u);
  FilterSettleWork();
  EXPECT_TRUE(inner_ran);
  EXPECT_TRUE(inner_after_done) << "settled while an after hook still ran";
  zornfhost::stop_workers();
}

}  // namespace
