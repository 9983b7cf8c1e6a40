#pragma once
// Where the filter's control and event families live: in a kernel host
// (NETLINK_GENERIC, requests to port 0) or in zornfhost (NETLINK_USERSOCK,
// requests to its fixed port, 0x7A4E0001 unless the environment value
// ZORNF_CONTROL_PORT or FilterSeam_SetHostPort names another). This module
// alone decides; every other line of the engine is the same for both.
#include <cstdint>

struct FilterSeam {
  int protocol;   // NETLINK_GENERIC or NETLINK_USERSOCK
  uint32_t port;  // destination port id of requests and look-ups
};

// zornfhost's default control port.
constexpr uint32_t FILTER_SEAM_HOST_PORT = 0x7A4E0001;

// The seam in use: decided on first call (the kernel's controller is asked
// for the request family; when it has none, zornfhost's port), then cached.
FilterSeam FilterSeam_Get();
// Sets zornfhost's port (0: back to the environment value or the default)
// and forgets the cached decision.
void FilterSeam_SetHostPort(uint32_t port);
// Forces a seam (tests and hosts that know where the filter is); forgets
// nothing else.
void FilterSeam_Force(const FilterSeam& seam);
// Opens a raw netlink socket of the seam's protocol bound to port (0 lets
// the kernel choose); -1 on failure (nothing left open).
int FilterSeam_OpenSocket(const FilterSeam& seam, uint32_t port);
// The port a socket is bound to (0 on failure).
uint32_t FilterSeam_BoundPort(int sock);
