#include "tests/host/testnet_fixture.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/genl_messages.h"
#include "tests/common/spawn.h"
#include "tests/host/netlink_client.h"

std::string testnet_script() { return std::string(ZOR_SOURCE_DIR) + "/scripts/testnet.sh"; }
std::string zornfhost_binary() { return std::string(ZOR_BINARY_DIR) + "/host/zornfhost"; }
int run_shell(const std::string &cmd) { return std::system(cmd.c_str()); }

InNetns::InNetns(const std::string &name) {
  own_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  ok_ = own_ >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
}

InNetns::~InNetns() {
  if (own_ >= 0 && setns(own_, CLONE_NEWNET) != 0) std::abort();
  if (own_ >= 0) close(own_);
}

TestNetwork::TestNetwork() {
  static int counter = 0;
  prefix_ = "zt" + std::to_string(getpid()) + "x" + std::to_string(counter++);
  log_ = "/tmp/" + prefix_ + ".log";
}

TestNetwork::~TestNetwork() { down(); }

bool TestNetwork::up(const std::vector<std::string> &host_args) {
  built_ = true;
  if (run_shell("bash " + testnet_script() + " up " + prefix_) != 0) return false;
  std::vector<std::string> args = {"env", "ZORNFHOST=" + zornfhost_binary(), "bash", testnet_script(), "host", prefix_};
  args.insert(args.end(), host_args.begin(), host_args.end());
  host_ = SpawnChild(args, {{}, log_});
  if (host_ < 0) return false;
  InNetns in(cli());
  if (!in.ok()) return false;
  testnl::Client probe(zornfhost::kControlPort);
  for (int i = 0; i < 100; i++) {
    if (probe.lookup_family(std::string(zornfhost::kRequestFamily), 50) >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int TestNetwork::stop_host() {
  if (host_ <= 0) return -1;
  int status = EndChild(host_, SIGTERM, 10000);
  host_ = 0;
  return status;
}

int TestNetwork::wait_host(int timeout_ms) {
  const int status = WaitChild(host_, timeout_ms);
  if (status >= 0) host_ = 0;
  return status;
}

void TestNetwork::down() {
  stop_host();
  if (!built_) return;
  run_shell("bash " + testnet_script() + " down " + prefix_);
  unlink(log_.c_str());
  built_ = false;
}

std::string TestNetwork::host_log() const {
  std::ifstream in(log_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
