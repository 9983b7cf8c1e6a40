#include "tests/engine/gateway_network.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/common/spawn.h"

namespace enginetest {

GatewayNetwork::~GatewayNetwork() { down(); }

bool GatewayNetwork::up() {
  char tmpl[] = "/tmp/zor-engine-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  dir_ = tmpl;
  if (!net_.up()) return false;
  std::string gw = net_.gw();
  std::string ready = dir_ + "/ready";
  std::string bin = std::string(ZOR_BINARY_DIR) + "/tools/gwsim/gwsim";
  gwsim_ = SpawnChild({"ip", "netns", "exec", gw, bin, "--listen", "203.0.113.1", "--tun", "gwtun0", "--control",
                       dir_ + "/gwctl", "--ready-file", ready},
                      {{}, dir_ + "/gwsim.log"});
  if (gwsim_ < 0) return false;
  bool started = false;
  for (int i = 0; i < 100 && !started; i++) {
    started = access(ready.c_str(), F_OK) == 0;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!started) return false;
  return run_shell("bash " + testnet_script() + " tunnel " + net_.prefix()) == 0;
}

void GatewayNetwork::down() {
  stop_gateway();
  net_.down();
  if (!dir_.empty()) run_shell("rm -rf " + dir_);
  dir_.clear();
}

void GatewayNetwork::stop_gateway() {
  if (gwsim_ > 0) EndChild(gwsim_, SIGTERM, 1000);
  gwsim_ = 0;
}

bool GatewayNetwork::gateway_command(const std::string& line) {
  int fd = open((dir_ + "/gwctl").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text = line + "\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

int GatewayNetwork::in_client(const std::string& cmd) {
  return run_shell("ip netns exec " + net_.cli() + " " + cmd);
}

std::string GatewayNetwork::gateway_log() const {
  std::ifstream in(dir_ + "/gwsim.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace enginetest
