#pragma once
// A thread handle for module-wide service threads: one still running when
// the process exits is detached then instead of ending the process with
// std::terminate (as a joinable std::thread's destructor would).
#include <thread>

struct ExitSafeThread {
  std::thread thread;
  ~ExitSafeThread() {
    if (thread.joinable()) thread.detach();
  }
  // Waits for the thread when it runs.
  void join() {
    if (thread.joinable()) thread.join();
  }
};
