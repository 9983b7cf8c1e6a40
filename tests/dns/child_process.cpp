#include "tests/dns/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cross/utils/process_runner.h"

extern char** environ;

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<const char*> args = {"setpriv", "--pdeathsig", "SIGKILL", "--"};
  for (const std::string& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, const_cast<char* const*>(args.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) pid_ = 0;
  return rc == 0;
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = 0;
    return false;
  }
  return true;
}

void ChildProcess::stop(int sig) {
  if (!running()) return;
  kill(pid_, sig);
  for (int i = 0; i < 100 && running(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!running()) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

int Shell(const std::string& command, std::string* out) {
  ProcessResult r = RunProcess({"sh", "-c", command}, std::nullopt, 60000, true);
  if (out != nullptr) *out = r.out + r.err;
  return r.exitCode;
}

namespace {

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

bool WaitForOutput(const std::string& command, const std::string& expected, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    ProcessResult r = RunProcess({"sh", "-c", command}, std::nullopt, 10000, true);
    if (trimmed(r.out) == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::string FreshNetnsName(const std::string& prefix) {
  std::string names;
  Shell("ip netns list | cut -d' ' -f1", &names);
  size_t at = 0;
  for (size_t end; (end = names.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string name = names.substr(at, end - at);
    if (name.rfind(prefix, 0) != 0) continue;
    pid_t owner = static_cast<pid_t>(atol(name.c_str() + prefix.size()));
    if (owner <= 0 || owner == getpid() || kill(owner, 0) == 0 || errno != ESRCH) continue;
    Shell("ip netns pids " + name + " | xargs -r kill -9; ip netns del " + name);
  }
  static int counter = 0;
  return prefix + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
