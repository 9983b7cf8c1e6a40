// The periodic timer: a thread that calls the library's timer callback on
// a fixed schedule and then reports the completions it caused.
#include <pthread.h>

#include <condition_variable>
#include <chrono>
#include <mutex>
#include <thread>

#include "host/completions.h"
#include "kern_host.h"

namespace {
std::mutex timer_mutex;
std::condition_variable timer_wake;
bool timer_stop;
std::thread timer_thread;

void timer_loop(std::chrono::milliseconds period) {
  pthread_setname_np(pthread_self(), "zornf-timer");
  auto next = std::chrono::steady_clock::now() + period;
  std::unique_lock<std::mutex> lock(timer_mutex);
  while (!timer_wake.wait_until(lock, next, [] { return timer_stop; })) {
    lock.unlock();
    Zor_DEV_NetTimerCallback();
    zornfhost::report_completions();
    lock.lock();
    next += period;
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + period;  // skip ticks lost while suspended
  }
}
}  // namespace

extern "C" {

int KERN_InitTimer(uint32_t ms) {
  if (ms == 0 || timer_thread.joinable()) return 1;
  timer_stop = false;
  timer_thread = std::thread(timer_loop, std::chrono::milliseconds(ms));
  return 0;
}

void KERN_DestroyTimer(void) {
  if (!timer_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(timer_mutex);
    timer_stop = true;
  }
  timer_wake.notify_all();
  timer_thread.join();
}

}  // extern "C"
