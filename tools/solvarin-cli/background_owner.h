#pragma once
// `up` and `down`. `up` connects as `connect` does, with its progress and
// result on the terminal, and then, once connected, stays in the background
// as the tunnel's owner: it answers the daemon's requests, logs to syslog,
// and ends when the tunnel does, on `down`, or on SIGTERM (disconnecting
// first). The exit status is the connect's. `down` asks this user's `up`
// over the owner channel to disconnect and prints its answer.
#include <string>
#include <vector>

#include "tools/solvarin-cli/cli_options.h"

int RunUp(const Options& opt);
int RunDown(const std::vector<std::string>& words);
