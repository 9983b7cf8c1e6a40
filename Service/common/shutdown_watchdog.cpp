#include "Service/common/shutdown_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Service/common/disconnect.h"
#include "cross/utils/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// The disconnect's reply may take this long (its family look-up has its own bound).
const unsigned kDisconnectReplyMs = 1500;

void killDaemon() { kill(getpid(), SIGKILL); }

void watch(unsigned boundMs, void (*end)()) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point bound = start + std::chrono::milliseconds(boundMs);
  const unsigned lastActAt = boundMs - std::min(kWatchdogLastActMs, boundMs);
  std::this_thread::sleep_until(start + std::chrono::milliseconds(lastActAt));
  GetLog().WriteToLogFL("Service/common/Service", __LINE__, "dmn_terminate",
                        ("Shutdown still running after " + std::to_string(lastActAt) +
                         " ms: tunnel taken down, daemon ended").c_str());
  // On a thread of its own: the end comes at the bound whatever the filter does.
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([done] {
    DisconnectOnOwnSocket(kDisconnectReplyMs);
    done->store(true);
  }).detach();
  while (!done->load() && Clock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  end();
}

}  // namespace

void StartShutdownWatchdog(unsigned boundMs, void (*end)()) {
  std::thread(watch, boundMs, end != nullptr ? end : killDaemon).detach();
}
