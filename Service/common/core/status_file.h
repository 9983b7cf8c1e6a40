#pragma once
// The status file "<installDir>/status.json" that a compliance agent reads:
// its connected form (cached when the tunnel comes up) and its reset form,
// replaced atomically, and the nudge thread that rewrites it a few times
// after a connect while the filter holds access back until the agent has
// seen the status.
#include <cstddef>  // filter_queries.h uses offsetof
#include <cstdint>
#include <string>

#include "Service/common/engine/filter_queries.h"

// The reset form, written by every disconnect.
extern const char kStatusJsonReset[];

// Caches the connected form (the gateway's own text when not empty, else one
// built from the gateway's configuration); writes it when a write was asked
// for before anything was cached.
void CacheConnectedStatusJson(const std::string& gatewayText, const veskcfgothertype& cfg,
                              const std::string& country, const std::string& radiusLogin,
                              const std::string& subjectFields);
// Writes the cached connected form; true when written, or deferred because
// nothing is cached yet.
bool WriteStatusJson();
// Empties the cache and writes the reset form; the write's success.
bool ResetConnectionStatus();
// ResetConnectionStatus only when no newer connected form was cached since
// generation was read; true when nothing had to be done.
bool ResetConnectionStatusIfStale(uint64_t generation);
uint64_t StatusJsonGeneration();
// Starts a nudge cycle for the cached connected form (nothing when none).
void ArmComplianceNudge();
// Ends the nudge thread and waits for it; arming afterwards does nothing.
void StopComplianceNudge();

// Replaces the status file with content: up to 5 attempts, 50, 100, 150 and
// 200 ms apart.
bool WriteFileAtomic(const std::string& content);
std::string BuildConnectedJson(const veskcfgothertype& cfg, const std::string& country,
                               const std::string& radiusLogin, const std::string& subjectFields);
std::string JsonEscape(const std::string& text);
// The bytes up to the first NUL among the n bytes, or all n.
std::string FieldToString(const uint8_t* bytes, size_t n);

// The filter's access-level query the nudge asks (level byte, flag); 0 on
// success. The daemon installs the connection engine's; the delays between
// the rewrites are 10, 20 and 40 seconds unless a test sets others.
using AccessLevelQuery = int (*)(uint8_t* level, int* flag);
void SetComplianceNudge(AccessLevelQuery query, const unsigned (&delaysMs)[3]);
