#pragma once
// Whose the next tunnel's settings are. What clients set for it (the local
// rules and their texts, the tunnel group, the white lists, the fail-rate
// switch, the RADIUS credentials) belongs to the user whose client set it:
// a setting command or a connect of another user first drops it, with a
// log line, so that no user's tunnel runs with what another user set. While
// a connect attempt runs, the settings are its user's and other users'
// setting commands are refused; once the tunnel has an owner, the
// dispatcher serves them to the owner's user alone.
#include <cstdint>
#include <functional>

namespace core {

// Whether command code changes what the next tunnel runs with.
bool ChangesTunnelSettings(uint32_t code);

// Runs change, the command code of client requester, under the settings'
// lock, once another user's settings are dropped. False, and nothing run,
// while a connect attempt of another user runs.
bool ChangeTunnelSettings(int requester, uint32_t code, const std::function<void()>& change);

// Held by a connect for its whole attempt: another user's settings are
// dropped, and an attempt of theirs that stopped half-way is not resumed
// (the filter is reset); until the end the settings are the requester's
// user's.
class TunnelSettingsOfAttempt {
 public:
  explicit TunnelSettingsOfAttempt(int requester);
  ~TunnelSettingsOfAttempt();
  TunnelSettingsOfAttempt(const TunnelSettingsOfAttempt&) = delete;
  TunnelSettingsOfAttempt& operator=(const TunnelSettingsOfAttempt&) = delete;
};

}  // namespace core
