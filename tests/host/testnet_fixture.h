// The test network of scripts/testnet.sh with zornfhost running in its
// client namespace, for integration tests of any area:
//
//   TestNetwork net;                  // unique namespace names per process
//   ASSERT_TRUE(net.up());            // namespaces + zornfhost, ready to serve
//   { InNetns in(net.cli());  testnl::Client c(zornfhost::kControlPort); ... }
//   net.down();                       // also done by the destructor
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// Runs the calling thread in a named network namespace while it lives;
// sockets made meanwhile stay in that namespace.
class InNetns {
 public:
  explicit InNetns(const std::string &name);
  ~InNetns();
  InNetns(const InNetns &) = delete;
  InNetns &operator=(const InNetns &) = delete;
  bool ok() const { return ok_; }

 private:
  int own_ = -1;
  bool ok_ = false;
};

class TestNetwork {
 public:
  TestNetwork();
  ~TestNetwork();
  TestNetwork(const TestNetwork &) = delete;
  TestNetwork &operator=(const TestNetwork &) = delete;

  // Builds the namespaces and starts zornfhost (with `host_args` added);
  // true once its control endpoint answers the family look-up.
  bool up(const std::vector<std::string> &host_args = {});
  // SIGTERM to zornfhost (SIGKILL when it has not ended 10 s later); its
  // exit status (128 + signal when a signal ended it), -1 when it was not
  // running.
  int stop_host();
  // Waits up to timeout_ms for zornfhost to end by itself: its exit status
  // as stop_host() gives it, -1 when it still runs.
  int wait_host(int timeout_ms);
  void down();

  const std::string &prefix() const { return prefix_; }
  std::string cli() const { return prefix_ + "cli"; }
  std::string gw() const { return prefix_ + "gw"; }
  std::string corp() const { return prefix_ + "corp"; }
  pid_t host_pid() const { return host_; }
  // zornfhost's log (stderr) so far.
  std::string host_log() const;

 private:
  std::string prefix_, log_;
  pid_t host_ = 0;
  bool built_ = false;
};

// The script and the zornfhost binary of this build.
std::string testnet_script();
std::string zornfhost_binary();
int run_shell(const std::string &cmd);
