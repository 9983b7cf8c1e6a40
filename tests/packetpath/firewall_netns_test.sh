#!/bin/bash
# An idle TCP connection between the client namespace and the gateway host,
# tracked by the firewall while a connection is being set up (the gateway's
# address is known), expires after the one-minute idle time-out: both ends'
# stacks take the reset frames and tear the connection down.
set -euo pipefail
build=${1:?usage: firewall_netns_test.sh BUILD_DIR}
NETNS_PREFIX=pf
NETNS_DEADLINE=160  # below the time-out in ctest
source "$(dirname "$0")/netns_common.sh"

start_network
ip netns exec "$cli" "$build/tests/packetpath/tunnel_driver" --gateway 203.0.113.1 \
  --init-only 1 >"$work/driver.log" 2>&1 || fail "initialisation"

ip netns exec "$gw" $tools idle-server 203.0.113.1 7002 >"$work/server.log" 2>&1 &
server=$!
pids+=($server)
wait_listen "$gw" 7002 5 || fail "no idle server"
# 1,080 ticks of 55 ms are 59.4 s.
ip netns exec "$cli" $tools idle-client 203.0.113.1 7002 61 203.0.113.1 >"$work/client.log" 2>&1 ||
  fail "client"
wait "$server" || fail "the idle server failed"
grep -q "local reset" "$work/client.log" || fail "the local stack kept the connection"
grep -q "peer reset" "$work/server.log" || fail "the peer kept the connection"
echo "firewall expiry end to end: ok"
