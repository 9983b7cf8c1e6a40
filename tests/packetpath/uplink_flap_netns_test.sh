#!/bin/bash
# The uplink's own stack left to answer ARP (arp_ignore 0) before zornfhost
# starts: once the uplink was down for 3 s, the first reply through the
# tunnel comes within 2.5 s of its return, the gateway holds the TAP's MAC
# for the client, the tunnel still carries when the gateway sends to the
# uplink's MAC, and zornfhost puts the uplink's setting back when it ends.
set -euo pipefail
build=${1:?usage: uplink_flap_netns_test.sh BUILD_DIR}
NETNS_PREFIX=uf
source "$(dirname "$0")/netns_common.sh"

bash "$root/scripts/testnet.sh" up "$p"
# The uplink's own stack answers ARP for the TAP's address, as by default.
ip netns exec "$cli" sysctl -qw net.ipv4.conf.all.arp_ignore=0 net.ipv4.conf.wire0.arp_ignore=0
ZORNFHOST="$build/host/zornfhost" bash "$root/scripts/testnet.sh" host "$p" 2>"$work/host.log" &
host=$!
pids+=($host)
ip netns exec "$cli" $tools wait-host 10 || fail "zornfhost did not answer"
start_gateway
ip netns exec "$cli" "$build/tests/packetpath/tunnel_driver" --gateway 203.0.113.1 \
  --local 203.0.113.2 --adapter tap0 >"$work/driver.log" 2>&1 &
pids+=($!)
wait_for "$work/driver.log" "^connected" 10 || fail "no tunnel"
ip netns exec "$cli" ping -q -c 2 -i 0.2 -W 2 198.51.100.10 >/dev/null || fail "no ping before the flap"
tap_mac=$(ip netns exec "$cli" cat /sys/class/net/tap0/address)
wire_mac=$(ip netns exec "$cli" cat /sys/class/net/wire0/address)

# 1. The flap, ping every 0.2 s through it: the first reply after link-up.
ip netns exec "$cli" ping -D -n -i 0.2 -W 1 198.51.100.10 >"$work/flap.log" 2>&1 &
ping=$!
pids+=($ping)
sleep 1
ip -n "$cli" link set wire0 down
sleep 3
back=$(date +%s.%N)
ip -n "$cli" link set wire0 up
sleep 6
kill "$ping"
first=$(awk -v t="$back" -F'[][]' '/bytes from/ && $2 > t { print $2; exit }' "$work/flap.log")
[ -n "$first" ] || fail "no reply within 6 s of the link's return"
delay=$(awk -v a="$first" -v b="$back" 'BEGIN { printf "%.3f", a - b }')
awk -v d="$delay" 'BEGIN { exit !(d <= 2.5) }' || fail "the first reply came $delay s after link-up"

# 2. The gateway learnt the TAP's MAC for the client, not the uplink's.
ip -n "$gw" neigh show 203.0.113.2 dev gw0 | grep -q "lladdr $tap_mac" || fail "the gateway's entry: $(ip -n "$gw" neigh show 203.0.113.2)"

# 3. A gateway that sends to the uplink's MAC still reaches the stack behind the TAP.
ip -n "$gw" neigh replace 203.0.113.2 lladdr "$wire_mac" dev gw0 nud permanent
ip netns exec "$cli" ping -q -c 2 -i 0.2 -W 2 198.51.100.10 >/dev/null || fail "no ping with the gateway sending to the uplink's MAC"

# 4. The uplink's setting is back once zornfhost ended.
stop_pid "$host"
expect_eq "the uplink's arp_ignore after zornfhost" "$(ip netns exec "$cli" sysctl -n net.ipv4.conf.wire0.arp_ignore)" 0
echo "uplink flap: ok (the first reply $delay s after link-up)"
