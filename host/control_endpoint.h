// zornfhost's control device and event doorbell: a NETLINK_USERSOCK socket
// on a fixed port id that answers the controller's family look-up for the
// request and event families, hands every request to the filter's control
// entry and replies to the sender's port; doorbells go to the registered
// port id on the same protocol. Anyone may look the families up; requests
// are served for root senders only (everyone else gets EPERM), as the
// filter's control is the daemon's.
#pragma once
#include <cstdint>

namespace zornfhost {

// The port id the next KERN_RegisterDevice binds (default kControlPort).
void set_control_port(uint32_t port);

}  // namespace zornfhost
