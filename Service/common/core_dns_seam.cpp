#include "Service/common/core_dns_seam.h"

#include <mutex>
#include <string>

#include "Service/common/status_file.h"
#include "cross/utils/log.h"

namespace {

void logNothingChanged(const char* function, const std::string& why) {
  GetLog().WriteToLogFL(__FILE__, __LINE__, function, (why + ": no DNS integration, suffixes unchanged").c_str());
}

// The status file is the service core's own part of the pre-connect settings.
void noPreConnect(int requester) {
  logNothingChanged("PreConnectSettings", "client " + std::to_string(requester));
  if (!WriteStatusJson()) GetLog().WriteToLogFL(__FILE__, __LINE__, "PreConnectSettings", "ERROR! Can't save STATUS.JSON!");
}
void noRestoreUnmanaged(const char* reason) {
  logNothingChanged("RestoreSuffixesAfterUnmanagedDisconnect", reason != nullptr ? reason : "");
}
void noRestoreBaseline() { logNothingChanged("RestoreSuffixBaseline", "disconnect"); }
void noRestoreAtStartup() { logNothingChanged("RestoreSuffixBaselineAtStartup", "start-up"); }

std::mutex g_lock;
SuffixSettings g_settings = {noPreConnect, noRestoreUnmanaged, noRestoreBaseline, noRestoreAtStartup};

}  // namespace

void Core_SetSuffixSettings(const SuffixSettings& s) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (s.preConnectSettings) g_settings.preConnectSettings = s.preConnectSettings;
  if (s.restoreSuffixesAfterUnmanagedDisconnect)
    g_settings.restoreSuffixesAfterUnmanagedDisconnect = s.restoreSuffixesAfterUnmanagedDisconnect;
  if (s.restoreSuffixBaseline) g_settings.restoreSuffixBaseline = s.restoreSuffixBaseline;
  if (s.restoreSuffixBaselineAtStartup) g_settings.restoreSuffixBaselineAtStartup = s.restoreSuffixBaselineAtStartup;
}

SuffixSettings Core_SuffixSettings() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_settings;
}
