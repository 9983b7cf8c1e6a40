#pragma once
// The DNS-suffix baseline: the search list each NetworkManager connection had
// before the gateway's suffixes were first put on it, kept in memory and in
// the file g_suffix_baseline_path so that it survives a crash or restart, and
// put back after a disconnect or at the next start. Every operation holds the
// baseline's own lock for its whole length, NetworkManager work included.
#include <list>
#include <string>

namespace suffix_baseline {

// What the baseline takes from the connection engine and the status file;
// the service core installs them at start-up. Until then no suffixes are
// known and no status file is written.
struct BaselineHooks {
  // The suffixes the gateway supplied; 0 on success.
  int (*getDnsSuffixes)(std::list<std::string>& suffixes);
  // Writes the status file; false when it could not be written.
  bool (*writeStatusJson)();
  // Arms the compliance nudge after a written status file.
  void (*armComplianceNudge)();
};
// Installs hooks (a null member keeps the standing one).
void SetBaselineHooks(const BaselineHooks& hooks);

// "/var/lib/Solvarin/dns-suffix-baseline.json"; empty: no file is kept.
extern std::string g_suffix_baseline_path;

// Client command 28: saves each eligible connection's list (the first one
// seen wins) and puts the gateway's suffixes on it, then writes the status.
void PreConnectSettings(int requester);
// Does nothing.
void PostConnectSettings(int requester);
// After a driver-reported disconnect: RestoreSuffixBaseline.
void PostDisconnectSettings();
// Puts the saved lists back; drops map and file only when all came back.
void RestoreSuffixBaseline();
// RestoreSuffixBaseline with a log line naming reason, when anything is saved.
void RestoreSuffixesAfterUnmanagedDisconnect(const char* reason);
// Reads a baseline left by an earlier run and restores it.
void RestoreSuffixBaselineAtStartup();

}  // namespace suffix_baseline
