// A device of an adapter pair that went away (its TAP deleted, its uplink
// gone) leaves the pair nothing to carry, and a TAP's descriptor reports its
// error to every wait from then on. zornfhost says so once per device and
// ends: SIGTERM to itself, taken by the main thread, which unloads as for
// any SIGTERM and exits with kExitDeviceGone, for its service manager to
// start it again.
#pragma once
#include <string>

namespace zornfhost {

constexpr int kExitDeviceGone = 3;

// `what` ("TAP", "uplink") `name` is gone.
void device_gone(const char *what, const std::string &name);
bool any_device_gone();

}  // namespace zornfhost
