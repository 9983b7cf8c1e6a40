#!/bin/bash
# Soak through zornfhost in namespaces: with a tunnel up, the gateway side
# sends 100,000 random and mutated datagrams to the client's tunnel port at
# full rate; afterwards ping and a TCP stream still cross the tunnel, the
# tunnel is still up, zornfhost's memory is back near where it was (builds
# without a sanitizer, whose quarantine keeps freed memory), and zornfhost
# ends cleanly with no sanitizer report.
set -euo pipefail
build=${1:?usage: soak_netns_test.sh BUILD_DIR}
count=${2:-100000}
NETNS_PREFIX=sk
NETNS_DEADLINE=280  # below the time-out in ctest
source "$(dirname "$0")/netns_common.sh"
# Growth of zornfhost's resident memory the flood may leave, in KiB.
rss_bound_kib=8192

start_network
host_pid=${pids[0]}
start_gateway
ip netns exec "$corp" $tools sink 198.51.100.10 7001 >"$work/sink.log" 2>&1 &
pids+=($!)
wait_listen "$corp" 7001 5 || fail "no sink behind the gateway"

ip netns exec "$cli" "$build/tests/packetpath/tunnel_driver" --gateway 203.0.113.1 \
  --local 203.0.113.2 --adapter tap0 >"$work/driver.log" 2>&1 &
pids+=($!)
wait_for "$work/driver.log" "^connected" 10 || fail "no tunnel"

traffic() {  # what for
  ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >"$work/ping.log" ||
    fail "ping across the tunnel $1"
  ip netns exec "$cli" $tools send 198.51.100.10 7001 2000000 "$work/gwctl" >"$work/send.log" 2>&1 ||
    fail "TCP stream across the tunnel $1"
}
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status"; }

# Real traffic first, captured on the uplink: the flood's templates.
ip netns exec "$gw" $tools capture gw0 "$work/uplink.bin" 2>"$work/capture.log" &
capture=$!
pids+=($capture)
wait_file "$work/uplink.bin.ready" 5 || fail "no capture on the uplink"
traffic "before the flood"
kill "$capture"
wait "$capture" || fail "the uplink capture failed"
before=$(rss_kib)

ip netns exec "$gw" $tools flood 203.0.113.1 203.0.113.2 40000 "$count" "$work/uplink.bin" 16 \
  >"$work/flood.log" 2>&1 || fail "flood"
cat "$work/flood.log"
traffic "after the flood"
grep -q "^state 0" "$work/driver.log" && fail "the tunnel fell"

if grep -q libasan <<<"$(ldd "$build/host/zornfhost")"; then
  echo "sanitizer build: memory left to the leak check"
else
  after=$(rss_kib)
  for _ in $(seq 50); do   # freed buffers may take a moment to go back
    [ $((after - before)) -le $rss_bound_kib ] && break
    sleep 0.2
    after=$(rss_kib)
  done
  echo "zornfhost resident memory: $before KiB before, $after KiB after"
  [ $((after - before)) -le $rss_bound_kib ] || fail "zornfhost kept $((after - before)) KiB"
fi

# zornfhost ends through its module's clean-up; a sanitizer reports at exit.
kill -TERM "$host_pid"
for _ in $(seq 100); do
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$host_pid" 2>/dev/null && fail "zornfhost did not end on SIGTERM"
if grep -qE "ERROR: (Address|Leak)Sanitizer|runtime error" "$work/host.log"; then
  fail "sanitizer report from zornfhost"
fi
echo "soak: ok"
