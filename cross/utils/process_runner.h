#pragma once
// Runs an external program without a shell and collects its output.
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // exit status; 128 + signal when a signal ended it; 127 when the exec failed
  std::string out;    // standard output
  std::string err;    // standard error
};

// argv[0] is looked up through PATH. stdinText, when given, is fed to the
// child's standard input (which is then closed) while its outputs are
// collected, so a child that writes much before reading all its input never
// blocks the exchange; without it the child keeps the daemon's standard
// input. timeoutMs 0 waits without limit; a child still running after
// timeoutMs is killed (SIGKILL: exit code 137). flag is not read.
// environment lists "NAME=value" entries that the child gets on top of the
// daemon's environment (replacing a variable of the same name); the
// daemon's own environment does not change.
// Throws std::runtime_error "run_command: empty args" for an empty argv, and
// "<step>: <strerror>" when pipe(stdout), pipe(stderr), pipe(stdin), fork or
// write(stdin pipe) fails; its pipes are closed and a started child is
// killed and reaped first.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::optional<std::string>& stdinText,
                         int timeoutMs, bool flag, const std::vector<std::string>& environment = {});
