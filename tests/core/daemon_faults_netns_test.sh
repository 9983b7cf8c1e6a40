#!/bin/bash
# solvarind in namespaces against a hostile neighbour and in its own faults:
# another user's settings before the owner's connect; another user's hands
# on the owner's tunnel; another user's links at the log's name; another
# user's clients that read none of their pushes; the gateway and then the filter going away and
# the filter coming back; SIGTERM while the neighbour stalls; a termination
# signal while the daemon waits for its filter.
set -euo pipefail
build=${1:?usage: daemon_faults_netns_test.sh BUILD_DIR}
NETNS_PREFIX=sf
NETNS_DEADLINE=280  # below the time-out in ctest
NETNS_WORK_PARENT=$build  # outside /tmp: the daemon covers it
source "$(dirname "$0")/../packetpath/netns_common.sh"
source "$root/scripts/solvarind-ns.sh"
chmod 755 "$work"
inst=$work/inst
neighbour=$build/tools/ipc-neighbour/ipc-neighbour
profile=(--gateway 203.0.113.1 --profile-type 1 --tunnel-group sales)

# zornfhost's process in the client namespace.
host_pid() {
  for pid in $(ip netns pids "$cli"); do
    [ "$(readlink "/proc/$pid/exe" || true)" = "$build/host/zornfhost" ] && echo "$pid"
  done
}
start_host() {
  ZORNFHOST="$build/host/zornfhost" bash "$root/scripts/testnet.sh" host "$p" 2>>"$work/host.log" &
  pids+=($!)
}
# The processes that run the daemon's binary of INST (as the daemon sees it).
daemon_processes() {
  for pid in $(ip netns pids "$cli"); do
    [ "$(readlink "/proc/$pid/exe" || true)" = /run/solvarin-inst/solvarind ] && echo "$pid"
  done
  return 0
}
count() { grep -c "$2" "$1" || true; }

start_network
start_gateway
daemon_start "$build" "$inst" "$cli" || fail "solvarind did not start"
ln -s "$inst/log/SrvLog.csv" "$work/srvlog.log"  # shown with the other logs on failure
cli_start owner "${profile[@]}" || fail "the owner did not register"
cli_start side --kind 1 || fail "the owner's second client did not register"
CLI_UID=1001 cli_start other "${profile[@]}" || fail "the other user's client did not register"
daemon_pid=$(sed -n 's/.*Daemon was started with pid: \([0-9]*\).*/\1/p' "$inst/log/SrvLog.csv" | tail -1)

# ---- 0. What another user set before a connect is not the owner's ----
step "0. What another user set before a connect is not the owner's"
ask other "request 16 32 0 0 hostile-rules" 16 >/dev/null
ask other "request 17 1 48 0 other.example" 17 >/dev/null
expect_eq "connect" "$(connect_outcome owner 20)" "0 0"
expect_fields "the owner's rules" "$(ask owner "request 14" 14)" "result=32 value1=3080 text="
expect_fields "the owner's rule texts" "$(ask owner "request 15" 15)" "result=0"
grep -q "Settings of user [^ ]* dropped before a connect of user" "$inst/log/SrvLog.csv" ||
  fail "no line for the other user's settings dropped"
rule_pushes=$(count "$work/owner.log" "^push code=5[12] ")

# ---- 1. Another user neither ends, changes nor reads the owner's tunnel ----
step "1. Another user neither ends, changes nor reads the owner's tunnel"
expect_replies other <<'TABLE'
request 5|result=0 value1=0 value2=0
request 14|result=0 value1=0 value2=0
request 16 32 0|result=0
request 17 1 48 0 other.example|result=0
request 11 5|result=0
request 12 5|result=0
request 28|result=0
request 33 0 0 0 lo|result=0
TABLE
for code in 11 12 28 33; do
  grep -q "Command $code of client [0-9]* refused: the tunnel of client [0-9]* belongs to another user" \
    "$inst/log/SrvLog.csv" || fail "command $code of another user was not refused"
done
expect_eq "another user's forced disconnect" "$(ask other disconnect-force 7 | sed -E 's/.* result=([0-9]+) .*/\1/')" 7
expect_eq "the state after it" "$(ask owner "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')" 7
[ "$(count "$work/owner.log" "^push code=5[12] ")" = "$rule_pushes" ] || fail "another user's rules or list reached the owner"
# Every client of the owner's own user is served.
expect_eq "the owner's second client reads the rules" "$(ask side "request 14" 14 | sed -E 's/.* (result=[0-9]+ value1=[0-9]+) .*/\1/')" \
  "result=32 value1=3080"
cli_stop other

# ---- 1b. Another user's links at the log's name ----
# The log directory is sticky. From a moment its name is free (as after an
# administrator removed the log), uid 1001 links the registry file (mode
# 0666) as SrvLog.csv and removes the link again, in a loop, while uid
# 1000's clients make the daemon log: the registry keeps every byte, and no
# log line lands anywhere but in SrvLog.csv.
step "1b. Another user's links at the log's name"
expect_eq "the log directory's mode" "$(stat -c %a "$inst/log")" 1777
cp "$inst/registry" "$work/registry.before"
touch "$work/linking"
rm "$inst/log/SrvLog.csv"
CLI_UID=1001 as_client /usr/bin/python3 -c '
import os, sys, time
flag, source, name = sys.argv[1:4]
end = time.monotonic() + 60
while os.path.exists(flag) and time.monotonic() < end:
    for step in (lambda: os.link(source, name), lambda: os.unlink(name)):
        try:
            step()
        except OSError:
            pass' "$work/linking" "$inst/registry" "$inst/log/SrvLog.csv" &
linker=$!
pids+=("$linker")
for _ in $(seq 40); do as_client "$build/tools/solvarin-cli/solvarin-cli" request 29 >/dev/null 2>&1 || true; done
rm "$work/linking"
wait "$linker" || true
cmp -s "$work/registry.before" "$inst/registry" || fail "the daemon's log lines reached the registry file"
expect_eq "files with the daemon's lines but SrvLog.csv" \
  "$(grep -rl --exclude=SrvLog.csv -e "; p$daemon_pid; " "$inst" || true)" ""
[ -f "$inst/log/SrvLog.csv" ] && [ ! -L "$inst/log/SrvLog.csv" ] || fail "SrvLog.csv is not a file"
expect_eq "SrvLog.csv's owner and names" "$(stat -c '%U %h' "$inst/log/SrvLog.csv")" "root 1"
[ "$(count "$inst/log/SrvLog.csv" "; Closing client ")" -gt 30 ] || fail "the clients' lines are not in the log"

# ---- 2. Another user's clients read none of their pushes ----
step "2. Another user's clients read none of their pushes"
CLI_UID=1001 as_client "$neighbour" stall 31 40 6 >"$work/stall.log" 2>&1 &
stall=$!
pids+=("$stall")
wait_for "$work/stall.log" "^stalled 31" 10 || fail "the neighbour did not register"
pushes=$(count "$work/owner.log" "^push code=65 ")
# Its broadcasts wait for its clients; the owner's commands do not, and the
# owner's pushes keep coming.
expect_eq "the owner's state during the stall" "$(ask owner "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')" 7
wait_more "$work/owner.log" "^push code=65 " "$pushes" 5 || fail "no push reached the owner during the stall"
wait_for "$work/stall.log" "^dropped 31" 10 || fail "the clients that take no pushes were not dropped"
grep -q "^back again: refused" "$work/stall.log" || fail "a dropped user came straight back"
wait "$stall"
grep -q "refused: uid 1001 backed off" "$inst/log/SrvLog.csv" || fail "no back-off line"

# ---- 3. The gateway goes away: the clients hear it ----
step "3. The gateway goes away: the clients hear it"
before=$(count "$work/side.log" "^push code=50 .* result=0 ")
stop_pid "$gateway_pid"
gateway_pid=
wait_for "$work/owner.log" "^push code=50 .* result=0 " 10 || fail "the owner did not hear of the gateway's loss"
wait_more "$work/side.log" "^push code=50 .* result=0 " "$before" 5 || fail "the other clients did not hear of it"

# ---- 4. The filter goes away and comes back ----
step "4. The filter goes away and comes back"
start_gateway
expect_eq "reconnect" "$(connect_outcome owner 20)" "0 0"
heard=$(count "$work/owner.log" "^push code=50 .* result=0 ")
kill -9 "$(host_pid)"
wait_more "$work/owner.log" "^push code=50 .* result=0 " "$heard" 10 || fail "nobody heard that the filter is gone"
expect_eq "the state without a filter" "$(ask owner "request 1" 1 | sed -E 's/.* result=([0-9]+) .*/\1/')" 0
start_host
wait_for "$inst/log/SrvLog.csv" "The filter answers again" 20 || fail "the filter's return was not seen"
expect_eq "connect after the filter's return" "$(connect_outcome owner 20)" "0 0"
# The restarted filter's events reach the daemon (its listener is
# registered again): the disconnect's state change.
events=$(count "$inst/log/SrvLog.csv" "ZorVpnEvent: code 1"$'\r')
ask owner disconnect 6 >/dev/null
wait_more "$inst/log/SrvLog.csv" "ZorVpnEvent: code 1"$'\r' "$events" 5 || fail "no event of the restarted filter reached the daemon"
# What the owner's user set before its own connect is kept.
ask owner "request 16 32 0 0 own-rules" 16 >/dev/null
expect_eq "connect again" "$(connect_outcome owner 20)" "0 0"
expect_fields "the owner's own rules after its connect" "$(ask owner "request 14" 14)" "result=32 text=own-rules"

# ---- 5. SIGTERM while another user's clients stall the pushes ----
# Once its back-off is over (10 s), the neighbour registers again.
step "5. SIGTERM while another user's clients stall the pushes"
for _ in $(seq 6); do
  CLI_UID=1001 as_client "$neighbour" stall 31 40 30 return >"$work/stall2.log" 2>&1 &
  pids+=($!)
  wait_for "$work/stall2.log" "^stalled 31\|^error" 10 || true
  grep -q "^stalled 31" "$work/stall2.log" && break
  sleep 2
done
grep -q "^stalled 31" "$work/stall2.log" || fail "the neighbour did not register again"
kill -TERM "$DAEMON_PID"
wait_gone "$DAEMON_PID" 9 || fail "the shutdown did not end within its watchdog's bound"
status=0
wait "$DAEMON_PID" || status=$?
expect_eq "exit status of the shutdown during the stall" "$status" 0
expect_eq "processes of the daemon left after it" "$(daemon_processes)" ""
grep -q "^push code=45 client=-1 result=1 " "$work/owner.log" || fail "the owner was not told the service stops"
grep -q "; Solvarind closed" "$inst/log/SrvLog.csv" || fail "the shutdown did not end in order"
# (other threads' lines may come between the disconnect's two)
sed -n '/disconnect reason: Daemon shutdown cleanup/,$p' "$inst/log/SrvLog.csv" |
  grep -q "Disconnect state after Driver request: 0" || fail "the tunnel was left up"
cli_stop owner
cli_stop side

# ---- 6. A termination signal while the daemon waits for its filter ----
# In the corporate namespace no filter answers. Started in the background
# by a shell, the daemon inherits SIGQUIT ignored: it must take it over.
step "6. A termination signal while the daemon waits for its filter"
DAEMON_NO_WAIT=1 daemon_start "$build" "$work/inst2" "$corp"
wait_for "$work/inst2/log/SrvLog.csv" "Can't connect to driver! Waiting..." 10 || fail "the daemon did not wait for its filter"
kill -QUIT "$DAEMON_PID"
wait_gone "$DAEMON_PID" 9 || fail "SIGQUIT did not end the wait for the filter"
status=0
wait "$DAEMON_PID" || status=$?
expect_eq "exit status after SIGQUIT in the wait" "$status" 0
grep -q "; Terminate signal was caught!" "$work/inst2/log/SrvLog.csv" || fail "the termination did not run"
echo "PASS"
