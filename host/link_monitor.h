// Follows the TAP devices' links (rtnetlink) and tells the library when one
// goes up or down, or changes its name, address or MTU.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zornfhost {
bool start_link_monitor();
void stop_link_monitor();
// The interface indexes of the RTM_NEWLINK messages in one rtnetlink
// datagram of len bytes, in datagram order.
std::vector<int> new_link_indexes(const uint8_t *buf, size_t len);
}  // namespace zornfhost
