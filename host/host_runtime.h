// zornfhost as a library: open the adapter pairs, load the network-filter
// module on them, raise power events, unload. The zornfhost program is a
// thin command line around it; tests can run it in-process the same way.
#pragma once
#include <cstdint>
#include <vector>

#include "host/adapter_pairs.h"
#include "host/genl_messages.h"

namespace zornfhost {

// The most crypto workers zornfhost runs.
constexpr int kMaxWorkers = 16;
// The worker count when none is given: one per core beyond the two readers.
int default_workers();

struct HostConfig {
  std::vector<AdapterSpec> adapters;
  uint32_t port = kControlPort;  // netlink port id of the control endpoint
  int workers = default_workers();  // 0 or 1: batches run inline
  bool syslog = false;           // log to syslog instead of stderr
};

// Opens the adapters and loads the module; false when either failed
// (the module is then unloaded and the adapters closed again).
bool host_load(const HostConfig &config);
void host_unload();
// Power notifications: stand-by prepare and post stand-by.
void host_standby_prepare();
void host_post_standby();

}  // namespace zornfhost
