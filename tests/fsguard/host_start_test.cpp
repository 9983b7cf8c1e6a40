// zornfhost starts the file guard beside the network filter, logs the start
// result, and stops the guard before the filter when it exits.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

class HostProcess {
 public:
  // Starts zornfhost on a control port of its own, its standard error in a
  // pipe, in a network namespace of its own (unshare -rn) with the one
  // adapter pair it needs there: tap0 on one end of a veth pair. The shell
  // execs zornfhost, so pid_ is zornfhost's.
  bool start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::string path = std::string(ZOR_BINARY_DIR) + "/host/zornfhost";
    std::string port = std::to_string(0x7A500000u + static_cast<unsigned>(getpid()));
    std::string script = "ip link add up0 type veth peer name up1 && ip link set up0 up && exec " + path +
                         " --port " + port + " --adapter tap0:up0";
    std::vector<char *> argv = {const_cast<char *>("unshare"), const_cast<char *>("-rn"), const_cast<char *>("sh"),
                                const_cast<char *>("-c"), script.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    int rc = posix_spawnp(&pid_, "unshare", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    err_ = fds[0];
    return rc == 0;
  }

  // Reads standard error until `text` shows up or 10 s pass.
  bool wait_for(const std::string &text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // SIGTERM, then the rest of the log and the exit status.
  int stop() {
    kill(pid_, SIGTERM);
    while (read_some(10000)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  ~HostProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(log_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  // False at the end of the stream or when nothing came in time.
  bool read_some(int timeoutMs) {
    pollfd p{err_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[512];
    ssize_t n = read(err_, buf, sizeof buf);
    if (n <= 0) return false;
    log_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int err_ = -1;
  std::string log_;
};

TEST(HostStart, ZornfhostRunsTheGuardBesideTheFilter) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.wait_for("zornfhost: file guard start: 1\n")) << "log:\n"
                                                                   << testing::PrintToString(host.lines());
  EXPECT_EQ(host.stop(), 0);
  const std::vector<std::string> expected = {
      "zornfhost: uplink up0: its own stack answers no ARP now (arp_ignore 8, was 0)",
      "ZORNFFLT: init_module: Filter driver loading...",
      "ZORNFFLT: init_module: Filter driver loaded",
      "VUDIVUDI: init_module: Filter driver loading...",
      "VUDIVUDI: init_module: Filter driver loaded",
      "zornfhost: file guard start: 1",
      "VUDIVUDI: cleanup_module: Filter driver unloading...",
      "VUDIVUDI: cleanup_module: Filter driver unloaded",
      "ZORNFFLT: cleanup_module: Filter driver unloading...",
      "ZORNFFLT: cleanup_module: Filter driver unloaded",
  };
  EXPECT_EQ(host.lines(), expected);
}

}  // namespace
