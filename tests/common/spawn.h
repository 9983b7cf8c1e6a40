#pragma once
// Child programs of the test processes, most of which run threads: started
// with posix_spawn, every argument made beforehand, so that nothing runs in
// the child between the fork and the exec; every wait for one is bounded.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

// What the child gets in place of the parent's descriptors.
struct ChildIo {
  std::vector<std::pair<int, int>> dups;  // (parent's descriptor, its number in the child)
  std::string errLog;                     // when set, standard error goes to this file (truncated)
};

// Starts argv (argv[0] looked up through PATH when it holds no '/'); the
// child's pid, or -1 when it could not be started.
inline pid_t SpawnChild(const std::vector<std::string>& argv, const ChildIo& io = {}) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [from, to] : io.dups) posix_spawn_file_actions_adddup2(&actions, from, to);
  if (!io.errLog.empty())
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, io.errLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The arguments that run argv under uid (groups dropped, gid = uid; as it
// is for root), killed should the thread that started it end first.
inline std::vector<std::string> AsUser(uid_t uid, const std::vector<std::string>& argv) {
  std::vector<std::string> args = {"setpriv", "--pdeathsig", "SIGKILL"};
  if (uid != 0) {
    std::string id = std::to_string(uid);
    args.insert(args.end(), {"--reuid", id, "--regid", id, "--clear-groups"});
  }
  args.push_back("--");
  args.insert(args.end(), argv.begin(), argv.end());
  return args;
}

// Waits at most timeoutMs for pid: its exit status (128 + signal when a
// signal ended it), or -1 when it still runs (it is left running).
inline int WaitChild(pid_t pid, int timeoutMs = 5000) {
  if (pid <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends pid: sig, then SIGKILL when it still runs after graceMs; reaped.
// Its exit status as WaitChild gives it.
inline int EndChild(pid_t pid, int sig = SIGTERM, int graceMs = 5000) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  int status = WaitChild(pid, graceMs);
  if (status >= 0) return status;
  kill(pid, SIGKILL);
  return WaitChild(pid, 5000);
}
