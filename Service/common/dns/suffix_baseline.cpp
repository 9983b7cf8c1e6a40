#include "Service/common/dns/suffix_baseline.h"

#include <stdio.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "Service/common/dns/nm_suffixes.h"
#include "Service/common/dns/suffix_baseline_file.h"
#include "cross/utils/log.h"

namespace suffix_baseline {

std::string g_suffix_baseline_path = "/var/lib/Solvarin/dns-suffix-baseline.json";

namespace {

int noSuffixes(std::list<std::string>&) { return -1; }
bool noStatusFile() { return false; }
void noNudge() {}

std::mutex g_hooksLock;
BaselineHooks g_hooks = {noSuffixes, noStatusFile, noNudge};

BaselineHooks currentHooks() {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  return g_hooks;
}

// The baseline's own lock: the callers run on threads whose locks do not
// exclude each other. Held across each operation, NetworkManager work included.
std::mutex g_baselineLock;
PreviousSuffixMap m_old_values;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text.c_str());
}

void restoreLocked() {
  int r = RestoreOldSuffixes(m_old_values);
  if (r == 0) {
    m_old_values.clear();
    if (!g_suffix_baseline_path.empty()) remove(g_suffix_baseline_path.c_str());
    return;
  }
  logLine(__LINE__, "RestoreSuffixBaseline",
          "DNS suffixes not restored: " + std::to_string(r) + " of " + std::to_string(m_old_values.size()) +
              ", baseline kept for next restore");
}

}  // namespace

void SetBaselineHooks(const BaselineHooks& hooks) {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  if (hooks.getDnsSuffixes) g_hooks.getDnsSuffixes = hooks.getDnsSuffixes;
  if (hooks.writeStatusJson) g_hooks.writeStatusJson = hooks.writeStatusJson;
  if (hooks.armComplianceNudge) g_hooks.armComplianceNudge = hooks.armComplianceNudge;
}

void PreConnectSettings(int) {
  const char* fn = "PreConnectSettings";
  BaselineHooks hooks = currentHooks();
  std::lock_guard<std::mutex> lock(g_baselineLock);
  logLine(__LINE__, fn, "Update DNS suffixes ----> ");
  std::list<std::string> suffixes;
  if (int r = hooks.getDnsSuffixes(suffixes); r != 0) {
    logLine(__LINE__, fn, "Error get DNS suffixes from Driver: " + std::to_string(r));
  } else {
    logLine(__LINE__, fn, "Setting DNS suffixes: { ");
    for (const std::string& suffix : suffixes) logLine(__LINE__, fn, "\t" + suffix);
    logLine(__LINE__, fn, "}");
    // The baseline keeps each connection's list from before the first change,
    // and reaches the disk before anything is changed: a crash during the
    // change still finds every list to put back.
    for (auto& [id, list] : GetSuffixesOfAllActive()) m_old_values.emplace(id, list);
    SaveSuffixBaselineFile(g_suffix_baseline_path, m_old_values);
    size_t saved = m_old_values.size();
    for (auto& [id, list] : SetSuffixForAllActive(suffixes)) m_old_values.emplace(id, list);
    if (m_old_values.size() != saved) SaveSuffixBaselineFile(g_suffix_baseline_path, m_old_values);
  }
  if (!hooks.writeStatusJson())
    logLine(__LINE__, fn, "ERROR! Can't save STATUS.JSON!");
  else
    hooks.armComplianceNudge();
}

void PostConnectSettings(int) {}

void PostDisconnectSettings() { RestoreSuffixBaseline(); }

void RestoreSuffixBaseline() {
  std::lock_guard<std::mutex> lock(g_baselineLock);
  restoreLocked();
}

void RestoreSuffixesAfterUnmanagedDisconnect(const char* reason) {
  std::lock_guard<std::mutex> lock(g_baselineLock);
  if (m_old_values.empty()) return;
  logLine(__LINE__, "RestoreSuffixesAfterUnmanagedDisconnect",
          std::string("Restore DNS suffixes after: ") + (reason != nullptr ? reason : ""));
  restoreLocked();
}

void RestoreSuffixBaselineAtStartup() {
  const char* fn = "RestoreSuffixBaselineAtStartup";
  std::lock_guard<std::mutex> lock(g_baselineLock);
  if (g_suffix_baseline_path.empty()) return;
  std::ifstream in(g_suffix_baseline_path, std::ios::binary);
  if (!in) return;
  std::ostringstream content;
  content << in.rdbuf();
  std::optional<PreviousSuffixMap> saved = ParseSuffixBaseline(content.str());
  if (!saved || saved->empty()) {
    logLine(__LINE__, fn, "DNS suffix baseline file is empty or damaged - dropped, suffixes untouched");
    remove(g_suffix_baseline_path.c_str());
    return;
  }
  logLine(__LINE__, fn, "Restore DNS suffixes after service restart, connections: " + std::to_string(saved->size()));
  for (auto& [id, list] : *saved) m_old_values.emplace(id, list);
  restoreLocked();
}

}  // namespace suffix_baseline
