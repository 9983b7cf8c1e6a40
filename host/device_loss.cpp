#include "host/device_loss.h"

#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "host/host_log.h"

namespace zornfhost {
namespace {
std::mutex mutex;
std::set<std::string> gone;  // the devices said so far
}  // namespace

void device_gone(const char *what, const std::string &name) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!gone.insert(name).second) return;
  }
  host_log("zornfhost: %s %s is gone: ending with status %d (start zornfhost again once %s is back; "
           "its service unit does so by itself)",
           what, name.c_str(), kExitDeviceGone, name.c_str());
  kill(getpid(), SIGTERM);
}

bool any_device_gone() {
  std::lock_guard<std::mutex> lock(mutex);
  return !gone.empty();
}

}  // namespace zornfhost
