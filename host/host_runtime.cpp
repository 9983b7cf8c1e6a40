#include "host/host_runtime.h"

#include <unistd.h>

#include <algorithm>

#include "host/completions.h"
#include "host/control_endpoint.h"
#include "host/host_log.h"
#include "host/work_queue.h"
#include "kern_host.h"

namespace zornfhost {
namespace {
bool pm_registered;
// Room in the workers' queue, per worker: enough to keep each busy while
// the reader builds the next batch, few enough that frames being sealed
// stay a small part of the library's pool.
constexpr unsigned kWorkDepth = 2;
}

// One worker a core beyond the data path's own threads: the TAP's reader and
// its feeder, and the uplink's reader.
int default_workers() {
  long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<int>(std::clamp(cores - 3, 0L, static_cast<long>(kMaxWorkers)));
}

bool host_load(const HostConfig &config) {
  log_to_syslog(config.syslog);
  set_control_port(config.port);
  if (!open_adapters(config.adapters)) return false;
  start_workers(config.workers, kWorkDepth, {nullptr, report_completions});
  if (Zor_init_module() != 0) {
    host_unload();
    return false;
  }
  report_completions();
  return true;
}

void host_unload() {
  Zor_cleanup_module();
  stop_workers();
  drop_completions();
  close_adapters();
}

void host_standby_prepare() {
  if (!pm_registered) return;
  Zor_PM_StandByPrepare();
  report_completions();
}

void host_post_standby() {
  if (!pm_registered) return;
  Zor_PM_PostStandBy();
  report_completions();
}

}  // namespace zornfhost

extern "C" {
int KERN_register_pm_notifier(void) {
  zornfhost::pm_registered = true;
  return 0;
}
void KERN_unregister_pm_notifier(void) { zornfhost::pm_registered = false; }
}
