// A reader's gate, closed by the library while it is short of room for the
// reader's frames (KERN_netdev_stop) and opened by KERN_netdev_wake. Closing
// and opening never wait (the library calls them under its spin locks); the
// reader waits for the gate in its own thread, for a bounded time.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zornfhost {

class FlowGate {
 public:
  void Close();
  void Open();
  bool IsClosed() const;
  // Returns once the gate is open, or after `bound` (a wake that never came
  // costs no more). An Open between the look and the wait is noticed within
  // a millisecond: Open takes no lock to tell the waiter.
  void WaitOpen(std::chrono::milliseconds bound);

 private:
  std::atomic<bool> closed_{false};
  std::mutex mutex_;
  std::condition_variable opened_;
};

}  // namespace zornfhost
