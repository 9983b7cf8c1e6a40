// Follows the TAP devices' links (rtnetlink) and tells the library when one
// goes up or down, or changes its name, address or MTU.
#pragma once

namespace zornfhost {
bool start_link_monitor();
void stop_link_monitor();
}  // namespace zornfhost
