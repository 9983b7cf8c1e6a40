// The test network with zornfhost in its client namespace and the gateway
// simulator in its gateway namespace (TUN device, the policy route that
// sends the corporate host's replies into the tunnel), for the engine's
// tests that drive the real filter.
#pragma once
#include <sys/types.h>

#include <string>

#include "tests/host/testnet_fixture.h"

namespace enginetest {

class GatewayNetwork {
 public:
  GatewayNetwork() = default;
  ~GatewayNetwork();
  GatewayNetwork(const GatewayNetwork&) = delete;
  GatewayNetwork& operator=(const GatewayNetwork&) = delete;

  // Namespaces, zornfhost and the simulator; true once both serve.
  bool up();
  void down();
  TestNetwork& net() { return net_; }
  // A command on the simulator's control FIFO ("status 31", ...).
  bool gateway_command(const std::string& line);
  // Ends the simulator: the gateway's port is closed from then on.
  void stop_gateway();
  // A shell command inside the client namespace; its exit status.
  int in_client(const std::string& cmd);
  std::string gateway_log() const;

 private:
  TestNetwork net_;
  pid_t gwsim_ = 0;
  std::string dir_;
};

}  // namespace enginetest
