// Follows the TAP devices' links (rtnetlink) and tells the library when one
// goes up or down, or changes its name, address or MTU; a pair's TAP or
// uplink removed is a device gone (device_loss.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zornfhost {
bool start_link_monitor();
void stop_link_monitor();
// The interface indexes of the link messages of `type` (RTM_NEWLINK,
// RTM_DELLINK) in one rtnetlink datagram of len bytes, in datagram order.
std::vector<int> link_indexes(const uint8_t *buf, size_t len, uint16_t type);
}  // namespace zornfhost
