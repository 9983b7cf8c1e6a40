#!/bin/bash
# Packets above the uplink's MTU through zornfhost in namespaces, with 0 and
# 4 workers and in both protection modes: UDP datagrams of 3,000, 16,000 and
# 65,000 bytes (which the stacks send as IPv4 fragments, and whose tunnel
# datagrams leave as outer fragments) come back whole from an echo on each
# side of the tunnel, and so does `ping -s 3000`, each way, and a ping with
# DF whose tunnel datagram is above the MTU.
set -euo pipefail
build=${1:?usage: fragments_netns_test.sh BUILD_DIR}
NETNS_PREFIX=fg
source "$(dirname "$0")/netns_common.sh"

bash "$root/scripts/testnet.sh" up "$p"
ip netns exec "$corp" $tools udp-echo 198.51.100.10 7002 >"$work/corpecho.log" 2>&1 &
pids+=($!)
ip netns exec "$cli" $tools udp-echo 203.0.113.2 7002 >"$work/cliecho.log" 2>&1 &
pids+=($!)

# Each combination starts zornfhost, the gateway and the tunnel afresh.
for workers in 0 4; do
  for mode in "" --mgm; do
    what="$workers workers ${mode:-mac+ofb}"
    ZORNFHOST="$build/host/zornfhost" bash "$root/scripts/testnet.sh" host "$p" --workers "$workers" \
      2>"$work/host.log" &
    host=$!
    pids+=($host)
    ip netns exec "$cli" $tools wait-host 10 || fail "zornfhost did not answer ($what)"
    start_gateway $mode --workers "$workers"
    ip netns exec "$cli" "$build/tests/packetpath/tunnel_driver" --gateway 203.0.113.1 \
      --local 203.0.113.2 --adapter tap0 $mode >"$work/driver.log" 2>&1 &
    driver=$!
    pids+=($driver)
    wait_for "$work/driver.log" "^connected" 10 || fail "no tunnel ($what)"
    ip netns exec "$cli" $tools udp-check 198.51.100.10 7002 3 3000 16000 65000 >"$work/up.log" ||
      fail "UDP echo of the host behind the gateway ($what): $(cat "$work/up.log")"
    ip netns exec "$corp" $tools udp-check 203.0.113.2 7002 3 3000 16000 65000 >"$work/down.log" ||
      fail "UDP echo of the client, from the host behind the gateway ($what): $(cat "$work/down.log")"
    ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 -s 3000 198.51.100.10 >"$work/ping.log" ||
      fail "ping -s 3000 to the host behind the gateway ($what)"
    ip netns exec "$corp" ping -q -c 3 -i 0.2 -W 2 -s 3000 203.0.113.2 >"$work/ping.log" ||
      fail "ping -s 3000 from the host behind the gateway ($what)"
    # DF set and within the TAP's MTU: its tunnel datagram is cut all the same.
    ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 -M do -s 1450 198.51.100.10 >"$work/ping.log" ||
      fail "ping -M do -s 1450 to the host behind the gateway ($what)"
    grep -q "refused" "$work/gwsim.log" && fail "the gateway refused a datagram ($what)"
    stop_pid "$driver"
    stop_pid "$host"
  done
done
echo "fragments end to end: ok"
