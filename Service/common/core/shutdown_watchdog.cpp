#include "Service/common/core/shutdown_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "Service/common/engine/disconnect.h"
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
                         " ms: the watchdog takes the tunnel down and ends the daemon").c_str());
  // On a thread of its own: the end comes at the bound whatever the filter does.
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto disconnect = [done] {
    DisconnectOnOwnSocket(kDisconnectReplyMs);
    done->store(true);
  };
  try {
    std::thread(disconnect).detach();
  } catch (const std::system_error&) {
    disconnect();  // no thread to spare: the disconnect's own bounds hold
  }
  while (!done->load() && Clock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  end();
}

}  // namespace

void StartShutdownWatchdog(unsigned boundMs, void (*end)()) {
  try {
    std::thread(watch, boundMs, end != nullptr ? end : killDaemon).detach();
  } catch (const std::system_error& e) {
    GetLog().WriteToLogFL("Service/common/Service", __LINE__, "dmn_terminate",
                          (std::string("Shutdown watchdog not started: ") + e.what()).c_str());
  }
}
