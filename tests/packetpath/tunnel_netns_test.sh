#!/bin/bash
# End to end through zornfhost in namespaces (scripts/testnet.sh): a tunnel
# to the gateway simulator carries ping and a TCP stream to the host behind
# it while the gateway changes keys; the uplink shows only tunnel datagrams;
# a corrupted datagram is refused and counted once as a receive error, and
# so is a captured one sent again while ping goes on, and an earlier key
# change of the gateway sent again after a later one, and after 64 and 300
# later ones, whose key's datagrams stay refused; in-tunnel status 31 and 25,
# the access level and a silent gateway raise their events, the last also
# while its captured acknowledgement is sent again.
set -euo pipefail
build=${1:?usage: tunnel_netns_test.sh BUILD_DIR}
NETNS_PREFIX=pp
source "$(dirname "$0")/netns_common.sh"

start_network
# The gateway's own stack stays quiet on the uplink, so that all it shows is
# what the tunnel puts there.
ip netns exec "$gw" sysctl -qw net.ipv6.conf.gw0.disable_ipv6=1

start_gateway

ip netns exec "$corp" $tools sink 198.51.100.10 7001 >"$work/sink.log" 2>&1 &
pids+=($!)
wait_listen "$corp" 7001 5 || fail "no sink behind the gateway"
ip netns exec "$gw" $tools capture gw0 "$work/uplink.bin" 2>"$work/capture.log" &
capture=$!
pids+=($capture)
wait_file "$work/uplink.bin.ready" 5 || fail "no capture on the uplink"

declare -A driver
connect() {  # log name
  ip netns exec "$cli" "$build/tests/packetpath/tunnel_driver" --gateway 203.0.113.1 \
    --local 203.0.113.2 --adapter tap0 >"$work/$1.log" 2>&1 &
  driver[$1]=$!
  pids+=($!)
  wait_for "$work/$1.log" "^connected" 10 || fail "no tunnel ($1)"
}
gwctl() { echo "$1" >"$work/gwctl"; }
# Sets `errors` to the receive errors on the gateway's entry, as driver
# NAME reports them.
read_receive_errors() {  # name
  local before
  before=$(grep -c "^recverr " "$work/$1.log" || true)
  kill -USR1 "${driver[$1]}"
  wait_more "$work/$1.log" "^recverr " "$before" 5 || fail "no receive-error count ($1)"
  errors=$(grep "^recverr " "$work/$1.log" | tail -1 | cut -d' ' -f2)
}

# 1. Traffic across the tunnel, key changes from both sides mid-stream.
step "1. traffic across the tunnel, key changes mid-stream"
connect driver1
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 -p 5a6f724d61726b 198.51.100.10 >"$work/ping.log" ||
  fail "ping across the tunnel"
ip netns exec "$cli" $tools send 198.51.100.10 7001 3000000 "$work/gwctl" >"$work/send.log" 2>&1 ||
  fail "TCP stream across the tunnel"
wait_for "$work/gwsim.log" "client key change" 5 || fail "the client did not change its key"
grep -q "refused" "$work/gwsim.log" && fail "the gateway refused a datagram"

# 2. A corrupted datagram is refused, as one receive error; the next one passes.
step "2. a corrupted datagram refused"
read_receive_errors driver1
before=$errors
gwctl "corrupt 1"
wait_for "$work/gwsim.log" "command corrupt 1" 5 || fail "the gateway took no corrupt command"
ip netns exec "$cli" ping -q -c 1 -W 1 198.51.100.10 >/dev/null && fail "a flipped datagram was taken"
ip netns exec "$cli" ping -q -c 1 -W 2 198.51.100.10 >/dev/null || fail "no traffic after the flip"
read_receive_errors driver1
expect_eq "receive errors after one flipped datagram" "$errors" $((before + 1))

# 3. A datagram of the gateway sent again is refused, as one receive error;
# ping goes on.
step "3. a datagram of the gateway sent again refused"
read_receive_errors driver1
before=$errors
seen=$(ip netns exec "$gw" $tools count "$work/uplink.bin" 203.0.113.1 14)
ip netns exec "$cli" ping -q -c 1 -W 2 198.51.100.10 >/dev/null || fail "no ping before the replay"
ip netns exec "$gw" $tools resend "$work/uplink.bin" 203.0.113.1 14 "$seen" 1 5 ||
  fail "no datagram of the gateway to send again"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null || fail "ping after the replay"
read_receive_errors driver1
expect_eq "receive errors after one datagram sent again" "$errors" $((before + 1))

# Sends key change 1 again, then the earlier key's data datagrams: one
# receive error for the key change, one for each datagram, ping goes on.
replay_step_1() {  # what came between, for the messages
  read_receive_errors driver1
  before=$errors
  ip netns exec "$gw" $tools resend "$work/uplink.bin" 203.0.113.1 7 $((changes - 1)) 1 5 ||
    fail "no key change of the gateway to send again"
  ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null ||
    fail "ping after the key change of step 1 was sent again after $1"
  read_receive_errors driver1
  expect_eq "receive errors after key change 1 sent again after $1" "$errors" $((before + 1))
  ip netns exec "$gw" $tools resend "$work/uplink.bin" 203.0.113.1 14 $((earlier - 8)) 8 5 ||
    fail "no data datagrams of the earlier key to send again"
  ip netns exec "$cli" ping -q -c 1 -W 2 198.51.100.10 >/dev/null ||
    fail "ping after the earlier key's datagrams were sent again after $1"
  read_receive_errors driver1
  expect_eq "receive errors after the earlier key's datagrams, after $1" "$errors" $((before + 9))
}

# 4. The gateway's key change of step 1, sent again after a later one, is
# refused as one receive error: ping goes on under the later key, and the
# earlier key's data datagrams (the last eight before the later key change)
# sent again are refused, one receive error each.
step "4. an earlier key change and its key's datagrams sent again"
for _ in $(seq 50); do  # the capture may lag behind the uplink
  changes=$(ip netns exec "$gw" $tools count "$work/uplink.bin" 203.0.113.1 7)
  [ "$changes" -ge 1 ] && break
  sleep 0.1
done
[ "$changes" -ge 1 ] || fail "no key change of the gateway captured"
ip netns exec "$cli" ping -q -c 8 -i 0.2 -W 2 198.51.100.10 >/dev/null ||
  fail "ping under the earlier key"
earlier=$(ip netns exec "$gw" $tools count "$work/uplink.bin" 203.0.113.1 14)
gwctl keychange
wait_more "$work/gwsim.log" "command keychange" 1 5 || fail "the gateway took no second keychange"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null ||
  fail "ping under the later key"
replay_step_1 "a later key change"
# The same after 64 and after 300 later key changes of the gateway, made
# without waiting: the session still knows the key change of step 1.
keychanges() {  # n: the gateway's key changes, one after another
  local made
  made=$(grep -c "command keychange" "$work/gwsim.log" || true)
  printf 'keychange\n%.0s' $(seq "$1") >"$work/gwctl"
  wait_more "$work/gwsim.log" "command keychange" $((made + $1 - 1)) 10 ||
    fail "the gateway made no $1 key changes"
}
keychanges 63
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null ||
  fail "ping after 64 later key changes"
replay_step_1 "64 later key changes"
keychanges 236
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null ||
  fail "ping after 300 later key changes"
replay_step_1 "300 later key changes"
grep -q "^event" "$work/driver1.log" && fail "the key changes raised an event"

# 5. The uplink carried only tunnel datagrams.
step "5. only tunnel datagrams on the uplink"
kill "$capture"
wait "$capture" || fail "the uplink capture failed"
$tools check-capture "$work/uplink.bin" || fail "uplink capture"
grep -q "^state 0" "$work/driver1.log" && fail "the tunnel fell"

# 6. In-tunnel status 31 and 25.
step "6. in-tunnel status 31 and 25"
gwctl "status 31"
wait_for "$work/driver1.log" "^event 9" 5 || fail "status 31 raised no event 9"
wait_for "$work/driver1.log" "^state 0" 5 || fail "status 31 left the tunnel up"
connect driver2
gwctl "status 25"
wait_for "$work/driver2.log" "^event 13" 5 || fail "status 25 raised no event 13"
wait_for "$work/driver2.log" "^state 0" 5 || fail "status 25 left the tunnel up"

# 7. The access level, then a silent gateway.
step "7. the access level, then a silent gateway"
connect driver3
gwctl "oob-level 3"
wait_for "$work/driver3.log" "^event 10" 5 || fail "access level raised no event 10"
# The gateway's acknowledgement of the client's key change, captured and
# sent again every 3 s once the gateway is silent, does not hold the lost
# tunnel off.
ip netns exec "$gw" $tools capture gw0 "$work/uplink7.bin" 2>"$work/capture7.log" &
capture=$!
pids+=($capture)
wait_file "$work/uplink7.bin.ready" 5 || fail "no capture on the uplink"
gwctl keychange
ip netns exec "$gw" $tools resend "$work/uplink7.bin" 203.0.113.1 8 0 1 5 ||
  fail "no acknowledgement of the gateway captured"
gwctl silent
while sleep 3; do ip netns exec "$gw" $tools resend "$work/uplink7.bin" 203.0.113.1 8 0 1 5; done &
resender=$!
pids+=($resender)
wait_for "$work/driver3.log" "^event 11" 60 || fail "a silent gateway raised no event 11"
kill "$resender"
echo "tunnel end to end: ok"
