// The worker pool: a task waiting on one thread holds none of the others
// back (the queue is one, taken by whichever thread is free); a full queue
// holds the submitter, or refuses a task offered without waiting; Flush
// returns once every task submitted before it and its after hook ran, not
// once as many tasks ran, later ones included.
#include "pipeline/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using zor::pipeline::WorkerPool;
using namespace std::chrono_literals;

// Tasks that wait for release() when blocking is set, counting those that
// are waiting and those that ran.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> waiting{0}, ran{0};
  void release() {
    {
      std::lock_guard<std::mutex> lock(m);
      open = true;
    }
    cv.notify_all();
  }
  static void Blocking(void *arg) {
    auto *g = static_cast<Gate *>(arg);
    g->waiting++;
    std::unique_lock<std::mutex> lock(g->m);
    g->cv.wait(lock, [g] { return g->open; });
    g->ran++;
  }
  static void Quick(void *arg) { static_cast<Gate *>(arg)->ran++; }
};

bool Eventually(const std::function<bool()> &done) {
  for (int i = 0; i < 500 && !done(); i++) std::this_thread::sleep_for(2ms);
  return done();
}

TEST(WorkerPool, AWaitingTaskHoldsBackNoneOnTheOtherThreads) {
  Gate gate;
  WorkerPool pool(3, 8);
  pool.Submit({Gate::Blocking, &gate});
  EXPECT_TRUE(Eventually([&] { return gate.waiting == 1; }));
  for (int i = 0; i < 20; i++) pool.Submit({Gate::Quick, &gate});
  EXPECT_TRUE(Eventually([&] { return gate.ran == 20; }));
  gate.release();
  pool.Flush();
  EXPECT_EQ(gate.ran, 21);
}

std::atomic<int> afters{0};

TEST(WorkerPool, AFullQueueHoldsTheSubmitterAndFlushWaitsForTheAfterHooks) {
  Gate gate;
  afters = 0;
  WorkerPool::Hooks hooks;
  hooks.after = [] {
    std::this_thread::sleep_for(1ms);
    afters++;
  };
  WorkerPool pool(2, 2, hooks);
  pool.Submit({Gate::Blocking, &gate});
  pool.Submit({Gate::Blocking, &gate});
  EXPECT_TRUE(Eventually([&] { return gate.waiting == 2; }));
  std::atomic<int> submitted{0};
  std::thread submitter([&] {
    for (int i = 0; i < 4; i++, submitted++) pool.Submit({Gate::Quick, &gate});
  });
  EXPECT_TRUE(Eventually([&] { return submitted >= 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(submitted, 2) << "both threads busy, two tasks queued: the third waits";
  gate.release();
  submitter.join();
  pool.Flush();
  EXPECT_EQ(gate.ran, 6);
  EXPECT_EQ(afters, 6) << "Flush returned before an after hook had run";
}

TEST(WorkerPool, FlushWaitsForAnOlderTaskThatALaterOneOvertakes) {
  Gate gate;
  WorkerPool pool(2, 4);
  pool.Submit({Gate::Blocking, &gate});
  ASSERT_TRUE(Eventually([&] { return gate.waiting == 1; }));
  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    pool.Flush();
    flushed = true;
  });
  std::this_thread::sleep_for(20ms);  // the flusher waits in Flush
  pool.Submit({Gate::Quick, &gate});
  EXPECT_TRUE(Eventually([&] { return gate.ran == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(flushed) << "Flush returned while the task before it still ran";
  gate.release();
  flusher.join();
  EXPECT_EQ(gate.ran, 2);
}

TEST(WorkerPool, AFullQueueRefusesATaskOfferedWithoutWaiting) {
  Gate gate;
  WorkerPool pool(1, 1);
  ASSERT_TRUE(pool.TrySubmit({Gate::Blocking, &gate}));
  ASSERT_TRUE(Eventually([&] { return gate.waiting == 1; }));
  EXPECT_TRUE(pool.TrySubmit({Gate::Quick, &gate})) << "room for one in the queue";
  EXPECT_FALSE(pool.TrySubmit({Gate::Quick, &gate})) << "the queue is full";
  gate.release();
  pool.Flush();
  EXPECT_EQ(gate.ran, 2) << "the refused task never ran";
  EXPECT_TRUE(pool.TrySubmit({Gate::Quick, &gate}));
  pool.Flush();
  EXPECT_EQ(gate.ran, 3);
}

}  // namespace
