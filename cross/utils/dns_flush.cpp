#include "cross/utils/dns_flush.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "cross/utils/process_runner.h"
#include "cross/utils/registry.h"

namespace {

// A flush command that does not end within this time is given up.
const int kFlushTimeoutMs = 5000;

const std::vector<std::vector<std::string>> kFlushCommands = {
    {"resolvectl", "flush-caches"},
    {"systemd-resolve", "--flush-caches"},
    {"nscd", "--invalidate=hosts"},
};

}  // namespace

void flushDNSIf() {
  int flush = 1;
  if (Registry_RegGetValueInt(installDir, "FlushDNS", &flush) && flush == 0) return;
  for (const auto& command : kFlushCommands) {
    try {
      if (RunProcess(command, std::nullopt, kFlushTimeoutMs, false).exitCode == 0) {
        GetLog().WriteToLogFL(__FILE__, __LINE__, "flushDNSIf", ("DNS cache flushed: " + command[0]).c_str());
        return;
      }
    } catch (const std::runtime_error& e) {
      GetLog().WriteToLogFL(__FILE__, __LINE__, "flushDNSIf", e.what());
    }
  }
  GetLog().WriteToLogFL(__FILE__, __LINE__, "flushDNSIf", "DNS cache not flushed: no flush command succeeded");
}
