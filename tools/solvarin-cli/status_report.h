#pragma once
// `status`: the tunnel's state (command 1) with its meaning in words; with
// --json one JSON object for scripts and nothing else on the output:
//   {"state":7,"state_name":"CS_CONNECT","connected":true,"words":"connected",
//    "owner":{"program":"solvarin-cli up","pid":N} or null,
//    "gateway":"A.B.C.D","tunnel_address":"A.B.C.D","group":"NAME",
//    "counters":{"tunnelled":N,"malformed":N,"passed":N,"refused":N},
//    "firewall":{"sessions":N,"table_bytes":N,"throughput_all":N,"throughput_tunnelled":N}}
// The daemon shows the state to the tunnel's owner only: when this user's
// `up` owns the tunnel its view is taken (with its gateway and group).
// Without an owner of this user, the gateway is the filter's gateway entry
// while connected, and the group is unknown (""). The tunnel address is
// the local address the tunnel to the gateway runs from; the counters are
// the packet counters of the filter's address table summed, the firewall
// figures those of command 35; fields the daemon does not give are empty
// or 0.
#include "tools/solvarin-cli/client_session.h"

int StatusAction(ClientSession* session, bool json);
