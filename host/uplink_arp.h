// The uplink's own stack answers ARP on it for every address of the
// machine (arp_ignore 0), those behind the TAP too, and before the stack
// behind the TAP can: a peer would then send to the uplink's MAC. While
// zornfhost holds an uplink, the uplink's arp_ignore is 8 (it answers no
// ARP request); the value it had goes back when zornfhost lets it go. The
// setting of that one device is the least zornfhost can change for it, and
// one left behind by a zornfhost killed outright is what an uplink without
// addresses wants anyway.
#pragma once
#include <string>

namespace zornfhost {

// Silences the uplink's ARP answers, with a log line when it changed that;
// the value to put back, or -1 when there is none.
int silence_uplink_arp(const std::string &uplink);
void restore_uplink_arp(const std::string &uplink, int saved);

}  // namespace zornfhost
