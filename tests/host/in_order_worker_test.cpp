// The writer thread behind zornfhost's adapters and the gateway simulator:
// whatever path a hand-over takes (written in the caller's thread or queued
// for the worker), items leave in the order they were handed over, exactly
// once, never by two writers at a time, and nothing is left at stop().
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "host/in_order_worker.h"

namespace {

using zornfhost::InOrderWorker;

struct Item {
  int producer;
  int seq;
};

// Records what was written; a write may be held until released, so that
// hand-overs queue up behind it.
struct Sink {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Item> written;
  std::vector<std::thread::id> writers;
  std::atomic<int> inside{0}, overlaps{0};
  bool hold = false;

  void write(std::vector<Item> &items) {
    if (inside.fetch_add(1) != 0) overlaps++;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(10), [this] { return !hold; });
    written.insert(written.end(), items.begin(), items.end());
    writers.push_back(std::this_thread::get_id());
    inside--;
  }
  void set_hold(bool on) {
    std::lock_guard<std::mutex> lock(mu);
    hold = on;
    cv.notify_all();
  }
};

std::vector<Item> run_of(int producer, int first, int n) {
  std::vector<Item> v;
  for (int i = 0; i < n; i++) v.push_back({producer, first + i});
  return v;
}

// Hand-over sizes on both sides of the inline limit (4) and of the queue
// bound (8), from two producers at once: each producer's items arrive in
// its order, all of them, without overlapping writes.
TEST(InOrderWorker, KeepsEachProducersOrderAcrossInlineAndQueuedHandOvers) {
  Sink sink;
  std::vector<Item> all;
  {
    InOrderWorker<Item> w([&](std::vector<Item> &v) { sink.write(v); }, nullptr, 4, 8);
    const int sizes[] = {1, 4, 5, 45, 2, 3, 200, 1, 9, 4};
    auto produce = [&](int producer) {
      int seq = 0;
      for (int round = 0; round < 40; round++)
        for (int n : sizes) {
          w.submit(run_of(producer, seq, n));
          seq += n;
          if (round % 7 == 0) w.wait_room();
        }
    };
    std::thread a(produce, 0), b(produce, 1);
    a.join();
    b.join();
    w.stop();
  }
  int next[2] = {0, 0};
  for (const Item &it : sink.written) {
    ASSERT_EQ(it.seq, next[it.producer]) << "producer " << it.producer;
    next[it.producer]++;
  }
  EXPECT_EQ(next[0], 40 * 274);
  EXPECT_EQ(next[1], 40 * 274);
  EXPECT_EQ(sink.overlaps.load(), 0);
}

// A small hand-over to an idle worker is written by the caller (no thread
// wake-up on a ping's way); one behind a write in progress, or a large
// one, by the worker, after what came before.
TEST(InOrderWorker, SmallHandOversWhileIdleAreWrittenByTheCaller) {
  Sink sink;
  InOrderWorker<Item> w([&](std::vector<Item> &v) { sink.write(v); }, nullptr, 4, 64);
  const auto me = std::this_thread::get_id();
  w.submit(run_of(0, 0, 2));
  ASSERT_EQ(sink.writers.size(), 1u);
  EXPECT_EQ(sink.writers[0], me);

  sink.set_hold(true);
  w.submit(run_of(0, 2, 10));  // to the worker, which is held in its write
  w.submit(run_of(0, 12, 1));  // small, but a write is in progress: queued
  sink.set_hold(false);
  w.stop();
  ASSERT_EQ(sink.written.size(), 13u);
  for (int i = 0; i < 13; i++) EXPECT_EQ(sink.written[i].seq, i);
  for (size_t k = 1; k < sink.writers.size(); k++) EXPECT_NE(sink.writers[k], me);
}

// stop() writes what waits and calls after() for the worker's writes; a
// hand-over after stop() is written at once by the caller.
TEST(InOrderWorker, StopWritesWhatWaitsAndLaterHandOversGoInline) {
  Sink sink;
  std::atomic<int> afters{0};
  InOrderWorker<Item> w([&](std::vector<Item> &v) { sink.write(v); }, [&] { afters++; }, 0, 1000);
  sink.set_hold(true);
  for (int i = 0; i < 5; i++) w.submit(run_of(0, i * 10, 10));
  std::thread release([&] { sink.set_hold(false); });
  w.stop();
  release.join();
  EXPECT_EQ(sink.written.size(), 50u);
  EXPECT_GE(afters.load(), 1);
  w.submit(run_of(0, 50, 7));
  EXPECT_EQ(sink.written.size(), 57u);
  EXPECT_EQ(sink.writers.back(), std::this_thread::get_id());
}

}  // namespace
