#!/bin/bash
# solvarind end to end in namespaces: the command-line client connects
# through the daemon, the filter in zornfhost and the gateway simulator;
# traffic crosses the tunnel (the gateway refuses the corporate network to
# clear traffic, and the uplink carries only tunnel datagrams meanwhile);
# status.json, ownership and the client commands; every connect stage's
# failure path; SIGTERM and a hung shutdown ended by the watchdog.
set -euo pipefail
NETNS_PREFIX=sv
NETNS_DEADLINE=280  # below the time-out in ctest
source "$(dirname "$0")/solvarind_test_env.sh"

start_network
# The gateway's own stack stays quiet on the uplink, so that all it shows is
# what the client puts there.
ip netns exec "$gw" sysctl -qw net.ipv6.conf.gw0.disable_ipv6=1
start_gateway

daemon_start "$build" "$inst" "$cli" || fail "solvarind did not start"
ln -s "$inst/log/SrvLog.csv" "$work/srvlog.log"  # shown with the other logs on failure
profile=(--gateway 203.0.113.1 --profile-type 1 --tunnel-group sales)

# The echo requests the corporate host has taken (its ICMP InEchos).
corp_echo_requests() {
  ip netns exec "$corp" awk '/^Icmp:/ { if (!n++) { for (i = 2; i <= NF; i++) if ($i == "InEchos") c = i }
                                        else print $c }' /proc/net/snmp
}

# ---- 1. A connect through the tunnel, the owner and a second client ----
step "1. A connect through the tunnel, the owner and a second client"
cli_start owner "${profile[@]}" || fail "the owner did not register"
# Another user: one user's connections of one kind make one client.
CLI_UID=1001 cli_start other "${profile[@]}" || fail "the second client did not register"
# The same user with another kind, which counts the user's window clients.
cli_start side --kind 1 || fail "the side client did not register"
# Without the tunnel no echo request reaches the corporate host.
echoes=$(corp_echo_requests)
ip netns exec "$cli" ping -q -c 1 -W 1 198.51.100.10 >/dev/null &&
  fail "the corporate host answered without the tunnel"
expect_eq "echo requests at the corporate host without the tunnel" "$(corp_echo_requests)" "$echoes"
expect_eq "connect" "$(connect_outcome owner 20)" "0 0"
grep -q "^push code=59 " "$work/owner.log" || fail "no PKI check push"
grep -q "^push code=51 " "$work/owner.log" || fail "no rules push on connect"
ip netns exec "$gw" $tools capture gw0 "$work/uplink.bin" 2>"$work/capture.log" &
capture=$!
pids+=($capture)
wait_file "$work/uplink.bin.ready" 5 || fail "no capture on the uplink"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 -p 5a6f724d61726b 198.51.100.10 >"$work/ping.log" ||
  fail "ping across the tunnel"
expect_eq "echo requests at the corporate host through the tunnel" "$(corp_echo_requests)" $((echoes + 3))
ip netns exec "$corp" iperf3 -s -1 -B 198.51.100.10 >"$work/iperf-server.log" 2>&1 &
pids+=($!)
wait_listen "$corp" 5201 5 || fail "no iperf3 server"
ip netns exec "$cli" timeout 30 iperf3 -c 198.51.100.10 -n 4M >"$work/iperf.log" 2>&1 || fail "TCP across the tunnel"
kill "$capture"
wait "$capture" || fail "the uplink capture failed"
$tools check-capture "$work/uplink.bin" || fail "clear traffic on the uplink during ping and iperf3"
grep -q "bytes in, 1 datagrams out" "$work/gwsim.log" || fail "the gateway saw no handshake"

# status.json: the connected form (the gateway supplies its own text) on
# command 28, the reset form after the disconnect.
ask owner "request 28" 28 >/dev/null
expect_eq "status.json" "$(cat "$inst/status.json")" '{"tunnel":"up"}'

# Ownership: the second client sees no state, cannot disconnect with 6 and
# cannot take the tunnel over.
expect_eq "state for a non-owner" "$(ask other "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')" 0
ask other "disconnect" 6 >/dev/null
expect_eq "state after a non-owner's disconnect" "$(ask owner "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')" 7
expect_eq "a second client's connect" "$(connect_outcome other 10)" "11 0"
expect_eq "the owner's connect while connected" "$(connect_outcome owner 10)" "0 0"
grep -q "Already connected" "$inst/log/SrvLog.csv" || fail "no already-connected line"

# Every client command in one table: "action|expected reply fields".
# Command 27 passes the filter's status on: -5, nothing enforces a fail rate.
expect_replies owner <<'TABLE'
request 2 5 6 7 same|result=5 value1=6 value2=7 text=same
request 3 5 6 7 same|result=5 value1=6 value2=7 text=same
request 34 5 6 7 same|result=5 value1=6 value2=7 text=same
request 42 5 6 7 same|result=5 value1=6 value2=7 text=same
request 99 5 6 7 same|result=5 value1=6 value2=7 text=same
request 1|result=7
request 5|result=1
request 10|result=0
request 13|result=0
request 14|result=32 value1=3080
request 20|result=88
request 22|result=1
request 29 5|result=0 value1=0
request 31|result=0 value1=0
request 35|result=0
request 38|result=0
request 39|result=1
request 41|result=0
request 40|result=1 value1=0
request 16 40 0|result=0
request 19|result=0
request 21|result=0
request 32|result=0 value1=2
request 33 1 0 0 tap0|result=0
request 33 0 0 0 tap0|result=2
request 33 0 0 0 lo|result=2
request 26 0 0 0|result=0
request 27|result=4294967291
request 18|result=0
request 23 0 0 0 other|result=0
request 25 0 0 0|result=0
TABLE
grep -q "^push code=65 " "$work/other.log" || fail "no window-count push to the other client"
ip -n "$cli" link show lo | grep -q " mtu 65536 " || fail "command 33 changed the loopback's MTU"
expect_eq "window count" "$(ask side "request 40" 40 | sed -E 's/.* value1=([0-9]+) .*/\1/')" 1
wait_for "$work/owner.log" "^push code=65 " 5 || fail "no window-count push to the owner"
grep -q "^push code=51 " "$work/other.log" && fail "a refused rules change was broadcast"

# The owner disconnects: the others hear of it, the status file is reset.
cli_say owner "disconnect bye"
wait_for "$work/other.log" "^push code=50 .* result=0 " 10 || fail "no state push after the disconnect"
reset='{"gateway":"","session":"","status":"unknown","dname":"","tungroup":"","radiuslogin":"","nicmac":"","CN":"","OU":"","DC":"","country":""}'
expect_eq "status.json after the disconnect" "$(cat "$inst/status.json")" "$reset"
grep -q "disconnect reason: bye," "$inst/log/SrvLog.csv" || fail "the owner's reason was not used"
# Without a reason text the default one; two connects at once: the second
# is told another one is in progress.
start_gateway --delay-ms 1500
expect_eq "connect without a reason" "$(connect_outcome owner 20)" "0 0"
ask owner disconnect 6 >/dev/null
grep -q "disconnect reason: Disconnect requested by GUI," "$inst/log/SrvLog.csv" || fail "no default reason"
starts=$(grep -c "clientNumber: " "$inst/log/SrvLog.csv")
cli_say owner connect
wait_more "$inst/log/SrvLog.csv" "clientNumber: " "$starts" 10 || fail "the first connect did not start"
expect_eq "a connect during another" "$(connect_outcome other 5)" "10 0"
wait_for "$work/owner.log" "^reply code=3 .* result=0 value1=7 " 20 || fail "the first connect did not finish"
ask owner disconnect 6 >/dev/null
start_gateway
cli_stop other
cli_stop side

# ---- 2. The owner's loss takes the tunnel down ----
step "2. The owner's loss takes the tunnel down"
expect_eq "reconnect" "$(connect_outcome owner 20)" "0 0"
CLI_UID=1001 cli_start watcher "${profile[@]}" || fail "the watcher did not register"
kill "${CLI_PID[owner]}"
wait_for "$inst/log/SrvLog.csv" "Tunnel owner IPC connection lost" 10 || fail "the owner's loss kept the tunnel"
state=7
for _ in $(seq 20); do
  state=$(ask watcher "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')
  [ "$state" = 0 ] && break
  sleep 0.2
done
expect_eq "state after the owner left" "$state" 0
cli_stop owner
cli_stop watcher

# ---- A failed attempt, the same profile resumed, a certificate profile ----
# A silent gateway: the attempt fails at the SYN reply wait and leaves the
# filter there; status tells the attempt in progress from the failed one.
step "A failed attempt, the same profile resumed, a certificate profile"
state_pair() {  # name: "STATE RUNNING" of command 1
  ask "$1" status 1 | sed -E 's/.* result=([0-9]+) value1=([0-9]+) .*/\1 \2/'
}
start_gateway --drop 1000
cli_start retry "${profile[@]}" || fail "the retrying client did not register"
cli_start cert --gateway 203.0.113.1 --profile-type 0 --tunnel-group sales || fail "the certificate client did not register"
waits=$(grep -c "CS_WAIT_SYNRR" "$inst/log/SrvLog.csv" || true)
cli_say retry connect
wait_more "$inst/log/SrvLog.csv" "CS_WAIT_SYNRR" "$waits" 10 || fail "the attempt did not reach the SYN reply wait"
expect_eq "state during the attempt" "$(state_pair cert)" "3 1"
wait_for "$work/cert.log" "^  = connecting (waiting for the gateway)" 5 || fail "no words for the attempt in progress"
wait_for "$work/retry.log" "^reply code=3 .* result=7 value1=3 value2=16 " 10 || fail "the silent gateway did not fail the attempt"
expect_eq "state after the failed attempt" "$(state_pair cert)" "3 0"
wait_for "$work/cert.log" "^  = connect failed (stopped at: waiting for the gateway)" 5 || fail "no words for the failed attempt"
# The same profile again resumes with the SYN request it built.
start_gateway
builds=$(grep -c "clientNumber: " "$inst/log/SrvLog.csv")
expect_eq "the same profile's connect" "$(connect_outcome retry 20)" "0 0"
expect_eq "SYN requests built for the resume" "$(grep -c "clientNumber: " "$inst/log/SrvLog.csv")" "$builds"
ask retry disconnect 6 >/dev/null
# After another failed attempt a certificate profile starts from the first
# stage with a SYN request of its own: the filter's point, then the client's
# 104 bytes of material (213 bytes in all), and connects.
start_gateway --drop 1000
expect_eq "another failed attempt" "$(connect_outcome retry 20)" "7 16"
start_gateway
resets=$(grep -c "Driver state stale or filter state must be reset" "$inst/log/SrvLog.csv" || true)
expect_eq "the certificate profile's connect" "$(connect_outcome cert 20)" "0 0"
expect_eq "resets of the failed attempt" "$(grep -c "Driver state stale or filter state must be reset" "$inst/log/SrvLog.csv")" $((resets + 1))
grep -q "^answered code=58 .* value2=104 " "$work/cert.log" || fail "the certificate client was not asked for its material"
grep -q "gwsim: 213 bytes in, 1 datagrams out" "$work/gwsim.log" || fail "the gateway did not get the certificate profile's request"
expect_eq "state of the certificate profile" "$(state_pair cert)" "7 0"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >"$work/ping-cert.log" || fail "ping across the certificate profile's tunnel"
echo keychange >"$work/gwctl"
wait_for "$work/gwsim.log" "key change acknowledged" 5 || fail "no key change on the certificate profile's tunnel"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >>"$work/ping-cert.log" || fail "ping after the key change"
ask cert disconnect 6 >/dev/null
cli_stop retry
cli_stop cert

# ---- 3. Every stage's failure path ----
# "gateway options|client options|expected result and error"
step "3. Every stage's failure path"
n=0
while IFS='|' read -r gwopts cliopts want; do
  [ -z "$want" ] && continue
  n=$((n + 1))
  # shellcheck disable=SC2086
  start_gateway --stage-timeout 1 $gwopts
  # shellcheck disable=SC2086
  cli_start "fail$n" --gateway 203.0.113.1 --tunnel-group sales $cliopts || fail "client $n did not register"
  if [ "$want" = "1 -9998" ]; then
    CLI_UID=1001 cli_start "breaker$n" --profile-type 1 || fail "breaker did not register"
    waits=$(grep -c "CS_WAIT_SYNRR" "$inst/log/SrvLog.csv" || true)
    ( wait_more "$inst/log/SrvLog.csv" "CS_WAIT_SYNRR" "$waits" 10; cli_say "breaker$n" interrupt ) &
  fi
  expect_eq "case $n ($gwopts / $cliopts)" "$(connect_outcome "fail$n" 40)" "$want"
  cli_stop "fail$n"
done <<'TABLE'
--status 5|--profile-type 0|7 48
|--gateway 0.0.0.0 --profile-type 1|2 51
--drop 1000|--profile-type 1|1 -9998
--push-deadline -30|--profile-type 1 --auth-type 131|8 -9999
--push-deadline 4294967296|--profile-type 1 --auth-type 131|7 -9
|--profile-type 1 --pki-verdict 5|7 5
--status 24|--profile-type 1|7 67
--status 19 --status-value A|--profile-type 1|7 62
--options 503|--profile-type 1|7 -16
--fault silent-synok|--profile-type 1|8 16
TABLE
# The refused SYN reply's detail (the gateway's options) reached the client.
grep -q "^push code=60 .* result=1283 " "$work/fail9.log" || fail "no SYN reply refusal push"
# A certificate profile that the gateway refuses: the client had signed the
# SYN request (push 58).
grep -q "^answered code=58 .* value2=104 " "$work/fail1.log" || fail "no signature material for 58"
# The gateway's one-time password error reached the client with its code.
grep -q "^push code=62 .* result=65 " "$work/fail8.log" || fail "no OTP error push"
grep -q "Push authentication timed out while waiting for SYNOKF" "$inst/log/SrvLog.csv" ||
  fail "the passed push deadline did not disconnect"
grep -q "Client interrupted connection while waiting for SYNRR" "$inst/log/SrvLog.csv" ||
  fail "the interrupt did not disconnect with its stage's reason"
# The silent gateway of the last case got the SYN OK six times.
expect_eq "SYN OK sends" "$(grep -c ' bytes in, 0 datagrams out' "$work/gwsim.log")" 6

# ---- 4. SIGTERM: push 45, the filter disconnected, exit 0 ----
step "4. SIGTERM: push 45, the filter disconnected, exit 0"
start_gateway
cli_start last "${profile[@]}" || fail "client did not register"
expect_eq "connect before SIGTERM" "$(connect_outcome last 20)" "0 0"
kill -TERM "$DAEMON_PID"
status=0
wait_gone "$DAEMON_PID" 9 || fail "solvarind did not end within its watchdog's time"
wait "$DAEMON_PID" || status=$?
expect_eq "exit status after SIGTERM" "$status" 0
wait_for "$work/last.log" "^push code=45 client=-1 result=1 " 5 || fail "no stopping push"
# The termination's order: rules cleared and the listener stopped, the
# clients told, then the orderly end with the disconnect last.
order=""
for text in "; Terminate signal was caught!" "; ServiceMainFunctionEND"$'\r' "; Driver event thread closed" \
            "disconnect reason: Daemon shutdown cleanup" "; Solvarind closed"; do
  order+="$(grep -n -F "$text" "$inst/log/SrvLog.csv" | head -1 | cut -d: -f1) "
done
expect_eq "termination order" "$(echo "$order" | tr ' ' '\n' | grep . | sort -n | tr '\n' ' ')" "$order"
# The filter's own answer to the shutdown's disconnect: state 0 (other
# threads' lines may come between the two).
sed -n '/disconnect reason: Daemon shutdown cleanup/,$p' "$inst/log/SrvLog.csv" |
  grep -q "Disconnect state after Driver request: 0" || fail "the filter was left connected"
cli_stop last

# ---- 5. A shutdown that hangs is killed by the watchdog ----
# A directory of its own: its log shows this run alone.
step "5. A shutdown that hangs is killed by the watchdog"
daemon_start "$build" "$work/inst2" "$cli" || fail "solvarind did not start again"
host_pid=
for pid in $(ip netns pids "$cli"); do
  if [ "$(readlink "/proc/$pid/exe" || true)" = "$build/host/zornfhost" ]; then host_pid=$pid; fi
done
[ -n "$host_pid" ] || fail "no zornfhost"
kill -STOP "$host_pid"
kill -TERM "$DAEMON_PID"
started=0
wait_for "$work/inst2/log/SrvLog.csv" "; Terminate signal was caught!" 5 || started=$?
# From then on no new client is taken.
late=0
as_client "$build/tools/solvarin-cli/solvarin-cli" status >"$work/late.log" 2>&1 || late=$?
status=0
wait_gone "$DAEMON_PID" 12 || { kill -CONT "$host_pid"; fail "the watchdog did not end the hung shutdown"; }
wait "$DAEMON_PID" || status=$?
kill -CONT "$host_pid"
expect_eq "the termination started" "$started" 0
[ "$late" != 0 ] || fail "a client was served by a stopping daemon"
grep -q "^error: daemon stopping: solvarind (pid $DAEMON_PID) is stopping and takes no new clients$" "$work/late.log" ||
  fail "a client was not told that the daemon is stopping"
expect_eq "exit status of a killed shutdown" "$status" 137
grep -q "Shutdown still running after 7000 ms" "$work/inst2/log/SrvLog.csv" || fail "the watchdog did not try to take the tunnel down"

# ---- 6. Detached: descriptors 0-2 on /dev/null, working directory /, SIGQUIT ----
step "6. Detached: descriptors 0-2 on /dev/null, working directory /, SIGQUIT"
daemon_start "$build" "$work/inst3" "$cli" "" || fail "solvarind did not start detached"
status=0
wait "$DAEMON_PID" || status=$?
expect_eq "exit status of the detaching parent" "$status" 0
wait_file "$work/inst3/log/SrvLog.csv" 5 || fail "the detached daemon wrote no log"
daemon=
for _ in $(seq 50); do
  for pid in $(ip netns pids "$cli"); do
    [ "$(readlink "/proc/$pid/cwd" || true)" = / ] &&
      [ "$(readlink "/proc/$pid/exe" || true)" = /run/solvarin-inst/solvarind ] &&
      grep -q "p$pid;" "$work/inst3/log/SrvLog.csv" && daemon=$pid
  done
  [ -n "$daemon" ] && break
  sleep 0.1
done
[ -n "$daemon" ] || fail "no detached daemon"
pids+=("$daemon")
for fd in 0 1 2; do
  expect_eq "descriptor $fd of the detached daemon" "$(readlink "/proc/$daemon/fd/$fd")" /dev/null
done
# SIGQUIT ends it as SIGTERM does, once it is up (its IPC socket is open).
wait_file "/proc/$daemon/root/run/solvarin/solvarin_connection_ipc.socket" 10 ||
  fail "the detached daemon did not open its IPC socket"
kill -QUIT "$daemon"
wait_gone "$daemon" 12 || fail "the detached daemon did not stop"
grep -q "; Solvarind closed" "$work/inst3/log/SrvLog.csv" || fail "SIGQUIT did not end the daemon in order"
echo "PASS"
