// zornfhost's control device and event doorbell: a NETLINK_USERSOCK socket
// on a fixed port id that answers the controller's family look-up for the
// request and event families, hands every request to the filter's control
// entry and replies to the sender's port; doorbells go to the registered
// port id on the same protocol.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zornfhost {

// The port id the next KERN_RegisterDevice binds (default kControlPort).
void set_control_port(uint32_t port);

// Serves one datagram from `sender`: replies are sent on `sock`. Exposed
// for the tests; the endpoint's thread calls it for every datagram.
void serve_datagram(int sock, uint32_t sender, uint8_t *data, size_t len);

}  // namespace zornfhost
