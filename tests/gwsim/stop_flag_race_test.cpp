// The gateway simulator's stop flag under ThreadSanitizer: a reader thread
// polls it, as the tunnel device's reader does, while a SIGTERM handler on
// the main thread sets it. Built with -fsanitize=thread; a racy flag makes
// the sanitizer report and fail the run (exit status 66).
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/gwsim/stop_flag.h"

int main() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { gwsim::RequestStop(); };
  sigaction(SIGTERM, &sa, nullptr);
  std::thread reader([] {
    while (!gwsim::StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  raise(SIGTERM);
  reader.join();
  if (!gwsim::StopRequested()) {
    fprintf(stderr, "expected the stop flag set after SIGTERM\n");
    return 1;
  }
  return 0;
}
