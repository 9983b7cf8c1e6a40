#pragma once
// SIGINT, SIGTERM and SIGHUP for solvarin-cli: blocked in every thread from
// the start, and taken by one thread that cancels a connect attempt in
// progress (command 30; the attempt then ends with its reply) or else runs
// the caller's action for a stop.
#include <signal.h>

#include <functional>

#include "tools/solvarin-cli/client_session.h"

// Blocks the three signals; called first, before any thread starts, so
// that every thread (and a child of `up`) inherits the mask.
void BlockStopSignals();
// The set BlockStopSignals blocked.
const sigset_t& StopSignals();
// Starts the detached thread that takes them.
void WatchStopSignals(ClientSession* session, std::function<void()> onStop);
