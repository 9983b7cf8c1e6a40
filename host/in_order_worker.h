// A writer thread that takes hand-overs of items and writes them in the
// order they were handed over, so that the thread handing them over (a
// reader that also protects or opens the tunnel's datagrams) goes on with
// the next frames while the kernel's send path runs on another core.
//
//   InOrderWorker<T> w(write, after, inline_max, queue_max);
//   w.submit(items)   items are written after everything handed over before;
//                     a hand-over of at most inline_max items while nothing
//                     waits is written in the caller's thread (no wake-up:
//                     a ping's latency stays as it was). Never waits: it may
//                     be called under a spin lock.
//   w.wait_room()     waits (at most kRoomWait) while queue_max items or more
//                     wait: a producer calls it before taking more work, so
//                     that what waits stays bounded
//   w.stop()          writes what waits, then ends the thread (also in the
//                     destructor); submit() after stop() writes in the caller
//
// write(items) runs in one thread at a time; after() runs on the worker
// thread after each of its writes.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zornfhost {

template <class T>
class InOrderWorker {
 public:
  using Write = std::function<void(std::vector<T> &)>;
  static constexpr std::chrono::milliseconds kRoomWait{200};
  static constexpr std::chrono::milliseconds kIdleWait{500};

  InOrderWorker(Write write, std::function<void()> after, size_t inline_max, size_t queue_max)
      : write_(std::move(write)), after_(std::move(after)), inline_max_(inline_max),
        queue_max_(queue_max), thread_([this] { run(); }) {}
  ~InOrderWorker() { stop(); }
  InOrderWorker(const InOrderWorker &) = delete;
  InOrderWorker &operator=(const InOrderWorker &) = delete;

  void submit(std::vector<T> items) {
    if (items.empty()) return;
    std::unique_lock<std::mutex> lock(mu_);
    if (!writing_ && queue_.empty() && (items.size() <= inline_max_ || stopped_)) {
      write_here(lock, items);
      return;
    }
    for (T &item : items) queue_.push_back(std::move(item));
    wake_.notify_one();
  }

  void wait_room() {
    std::unique_lock<std::mutex> lock(mu_);
    room_.wait_for(lock, kRoomWait, [this] { return queue_.size() < queue_max_ || stopped_; });
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  // Writes `items` in this thread with the writing mark held; lock is held
  // on entry and on return.
  void write_here(std::unique_lock<std::mutex> &lock, std::vector<T> &items) {
    writing_ = true;
    lock.unlock();
    write_(items);
    lock.lock();
    writing_ = false;
    wake_.notify_all();  // a hand-over queued meanwhile, or stop() waiting
  }

  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      wake_.wait_for(lock, kIdleWait, [this] { return (!queue_.empty() && !writing_) || stopped_; });
      if (queue_.empty() || writing_) {
        if (stopped_ && !writing_) return;
        continue;
      }
      std::vector<T> items(std::make_move_iterator(queue_.begin()),
                           std::make_move_iterator(queue_.end()));
      queue_.clear();
      room_.notify_all();
      write_here(lock, items);
      if (after_) {
        lock.unlock();
        after_();
        lock.lock();
      }
    }
  }

  Write write_;
  std::function<void()> after_;
  const size_t inline_max_, queue_max_;
  std::mutex mu_;
  std::condition_variable wake_, room_;
  std::deque<T> queue_;
  bool writing_ = false, stopped_ = false;
  std::thread thread_;  // last: it starts once the rest is set up
};

}  // namespace zornfhost
