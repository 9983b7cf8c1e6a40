#pragma once
// The service core's calls into the DNS-suffix baseline and pre-connect
// settings, in one table: the daemon installs the DNS integration's entry
// points; until then each call only logs that nothing was changed.
struct SuffixSettings {
  // Command 28 while connected: saves the connections' suffixes and sets the
  // gateway's.
  void (*preConnectSettings)(int requester);
  // After a disconnect the user did not ask for (owner lost, shutdown).
  void (*restoreSuffixesAfterUnmanagedDisconnect)(const char* reason);
  // After a user's disconnect.
  void (*restoreSuffixBaseline)();
  // At start-up: suffixes an earlier run changed and did not restore.
  void (*restoreSuffixBaselineAtStartup)();
};

// Installs the table (a null member keeps the one in force).
void Core_SetSuffixSettings(const SuffixSettings& settings);
SuffixSettings Core_SuffixSettings();
