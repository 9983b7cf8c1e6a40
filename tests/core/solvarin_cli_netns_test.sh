#!/bin/bash
# The command-line client as a user meets it, against solvarind, the filter
# in zornfhost and the gateway simulator in namespaces: `up` connects and
# owns the tunnel in the background while one-shot queries of the same user
# come and go, and another user cannot take its owner channel first; status
# in words and in JSON (alone on standard output); `down`; a one-shot
# connect; "tunnel down: REASON"; the exit status and words of each kind of
# failure; a stop signal during a connect; SIGTERM to the background owner.
set -euo pipefail
NETNS_PREFIX=cl
NETNS_DEADLINE=280  # below the time-out in ctest
source "$(dirname "$0")/solvarind_test_env.sh"
profile=(--gateway 203.0.113.1 --profile-type 1 --tunnel-group sales)

start_network
start_gateway
daemon_start "$build" "$inst" "$cli" || fail "solvarind did not start"
# Its start probes the kernel for the filter's family; the kernel's "no" is an answer, not an error.
if grep -q "received error" "$work/daemon.out"; then fail "the daemon's start printed 'received error'"; fi
ln -s "$inst/log/SrvLog.csv" "$work/srvlog.log"  # shown with the other logs on failure
# The client user's runtime directory, where `up` keeps its owner channel.
export XDG_RUNTIME_DIR=$work/runtime
install -d -m 0700 -o 1000 -g 1000 "$XDG_RUNTIME_DIR"

# Runs the client once as uid 1000: its exit status; its output in $work/NAME.log.
run() {  # name options-and-action...
  local name=$1 s=0
  shift
  as_client timeout 60 "$build/tools/solvarin-cli/solvarin-cli" "$@" >"$work/$name.log" 2>&1 || s=$?
  echo "$s"
}
expect_eq() {  # what got want
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}
says() {  # name text: the log of run NAME holds the line
  grep -q -x -F -- "$2" "$work/$1.log" || fail "$1 does not say '$2'"
}
says_part() {  # name text: a line of run NAME holds the text
  grep -q -F -- "$2" "$work/$1.log" || fail "$1 says nothing of '$2'"
}
owner_losses() { grep -c "Tunnel owner IPC connection lost" "$inst/log/SrvLog.csv" || true; }
json_field() {  # file expression: the value of a field of the JSON object in FILE
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2], {"d": d}))' "$1" "$2"
}

# ---- another user holds the name the owner channel once had ----
step "another user holds the name the owner channel once had"
CLI_UID=1001 as_client /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind("\0solvarin-cli/up/1000")
s.listen()
print("bound", flush=True)
time.sleep(120)' >"$work/squatter.log" 2>&1 &
pids+=($!)
wait_for "$work/squatter.log" "^bound" 10 || fail "the squatter of uid 1001 did not bind"

# ---- up: connected, the prompt back, the tunnel owned in the background ----
step "up: connected, the prompt back, the tunnel owned in the background"
expect_eq "up beside another user's squatter" "$(run up "${profile[@]}" up)" 0
[ -S "$XDG_RUNTIME_DIR/solvarin-cli-up.socket" ] || fail "up's owner channel is not in the user's runtime directory"
says_part up "connecting: to gateway 203.0.113.1 (profile type 1, tunnel group sales)"
says up "connecting: keys set, the tunnel is up"
says up "  = connected (tunnel state 7)"
owner=$(sed -n 's/^up: solvarin-cli (pid \([0-9]*\)) owns the tunnel in the background.*/\1/p' "$work/up.log")
[ -n "$owner" ] || fail "up did not name its background owner"
pids+=("$owner")
kill -0 "$owner" || fail "the background owner is gone"
expect_eq "a second up" "$(run up2 "${profile[@]}" up)" 1
says up2 "error: this user's solvarin-cli up (pid $owner) owns a tunnel already; 'solvarin-cli down' first"

# ---- one-shot queries of the same user leave the tunnel up ----
step "one-shot queries of the same user leave the tunnel up"
losses=$(owner_losses)
expect_eq "status beside up" "$(run status status)" 0
says status "  = connected (the tunnel of this user's solvarin-cli up, pid $owner)"
expect_eq "request 1 beside up" "$(run request1 request 1)" 0
grep -q "^reply code=1 .* result=0 " "$work/request1.log" || fail "a non-owner was shown the state"
ip netns exec "$cli" ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >"$work/ping.log" || fail "ping after the queries"
expect_eq "owner losses after the queries" "$(owner_losses)" "$losses"
kill -0 "$owner" || fail "the background owner went with a query"

expect_eq "status --json" "$(run json status --json)" 0
expect_eq "JSON lines" "$(wc -l <"$work/json.log")" 1
# Without a daemon it serves (a user id below 1000), standard output stays empty.
CLI_UID=999 as_client "$build/tools/solvarin-cli/solvarin-cli" status --json >"$work/json999.out" 2>"$work/json999.err" || true
expect_eq "status --json's standard output when it is refused" "$(cat "$work/json999.out")" ""
grep -q "^error: registration refused" "$work/json999.err" || fail "the refusal is not on standard error"
expect_eq "JSON state" "$(json_field "$work/json.log" 'd["state"], d["state_name"], d["connected"]')" "(7, 'CS_CONNECT', True)"
expect_eq "JSON owner" "$(json_field "$work/json.log" 'd["owner"]["pid"]')" "$owner"
expect_eq "JSON gateway" "$(json_field "$work/json.log" 'd["gateway"], d["tunnel_address"], d["group"]')" \
  "('203.0.113.1', '203.0.113.2', 'sales')"
expect_eq "JSON counters after the ping" "$(json_field "$work/json.log" 'd["counters"]["tunnelled"] >= 6')" True
expect_eq "JSON firewall" "$(json_field "$work/json.log" 'd["firewall"]["table_bytes"] > 0')" True

expect_eq "statistics" "$(run stats request 18 0 1)" 0
says_part stats "  = entry 1: 203.0.113.1 (gateway), expires never; packets tunnelled "
expect_eq "firewall" "$(run firewall request 35)" 0
says_part firewall "  = firewall: sessions "
expect_eq "a connect beside up" "$(run taken "${profile[@]}" connect)" 1
says_part taken "the tunnel is up and owned by another client (result 11)"

# ---- down ----
step "down"
expect_eq "down" "$(run down down)" 0
says down "down: solvarin-cli up (pid $owner) disconnects"
says down "  = disconnected: not connected"
timeout 5 tail --pid="$owner" -f /dev/null || fail "the background owner did not end after down"
says up "solvarin-cli up ends"  # the background owner's words reach the standard error it was started with
expect_eq "status after down" "$(run after status)" 0
says after "  = not connected"
expect_eq "down without up" "$(run down2 down)" 1
says_part down2 "error: no solvarin-cli up of this user runs"

# ---- a one-shot connect: its tunnel ends with it, and it says so ----
step "a one-shot connect: its tunnel ends with it, and it says so"
losses=$(owner_losses)
expect_eq "one-shot connect" "$(run once "${profile[@]}" connect)" 0
says_part once "note: this tunnel ends with this program"
wait_more_losses() {
  for _ in $(seq 50); do [ "$(owner_losses)" -gt "$losses" ] && return 0; sleep 0.1; done
  return 1
}
wait_more_losses || fail "the one-shot connect's tunnel outlived it"

# ---- "tunnel down: REASON" when another client takes the tunnel down ----
step '"tunnel down: REASON" when another client takes the tunnel down'
cli_start holder "${profile[@]}" || fail "the script client did not register"
cli_say holder connect
wait_for "$work/holder.log" "^reply code=3 .* result=0 value1=7 " 20 || fail "the script client did not connect"
holder_id=$(sed -n 's/^registered id=//p' "$work/holder.log")
expect_eq "disconnect-force" "$(run force disconnect-force)" 0
forcer=$(sed -n 's/^registered id=//p' "$work/force.log")
wait_for "$work/holder.log" "^tunnel down: disconnected by client $forcer$" 10 || fail "the owner was not told the tunnel went down"
cli_stop holder
[ -n "$holder_id" ] || fail "the script client had no id"

# ---- exit statuses of failed connects ----
# "gateway options|client options|exit status|words"
step "exit statuses of failed connects"
while IFS='|' read -r gwopts cliopts want words; do
  [ -z "$want" ] && continue
  # shellcheck disable=SC2086
  start_gateway --stage-timeout 1 $gwopts
  # shellcheck disable=SC2086
  expect_eq "connect $cliopts ($gwopts)" "$(run failed $cliopts connect)" "$want"
  says_part failed "$words"
done <<'TABLE'
|--gateway 203.0.113.2 --profile-type 1|4|the gateway refused the connection (result 7); error 111: Connection refused
|--gateway 0.0.0.0 --profile-type 1|4|error 51: No gateway address
|--gateway 203.0.113.1 --profile-type 1 --pki-verdict 5|5|this client refused the gateway's PKI data (verdict 5
--options 503|--gateway 203.0.113.1 --profile-type 1|5|error -16: The gateway refused the SYN request
--status 24|--gateway 203.0.113.1 --profile-type 1|5|error 67: The gateway refused the SYN OK
--fault silent-synok|--gateway 203.0.113.1 --profile-type 1|4|not connected: no answer from the gateway 203.0.113.1 within
TABLE

# A script exits with the status of its last action; quit is none.
expect_eq "a script's failed connect" "$(printf 'connect\n\nquit\n' | run script --gateway 0.0.0.0 --profile-type 1 -)" 4

# ---- a stop signal during a connect cancels the attempt ----
# (SIGTERM: a background job of a script inherits SIGINT ignored, and the
# client keeps what it inherited; Ctrl-C takes the same path.)
step "a stop signal during a connect cancels the attempt"
start_gateway --drop 1000
waits=$(grep -c "CS_WAIT_SYNRR" "$inst/log/SrvLog.csv" || true)
nsenter -t "$DAEMON_PID" -m -n setpriv --reuid=1000 --regid=1000 --clear-groups \
  "$build/tools/solvarin-cli/solvarin-cli" "${profile[@]}" connect >"$work/cancel.log" 2>&1 &
canceller=$!
pids+=("$canceller")
for _ in $(seq 100); do
  [ "$(grep -c "CS_WAIT_SYNRR" "$inst/log/SrvLog.csv" || true)" -gt "$waits" ] && break
  sleep 0.1
done
[ "$(grep -c "CS_WAIT_SYNRR" "$inst/log/SrvLog.csv" || true)" -gt "$waits" ] ||
  fail "the connect to cancel did not reach the wait for the SYN reply within 10 s"
kill -TERM "$canceller"
status=0
wait "$canceller" || status=$?
expect_eq "a cancelled connect" "$status" 6
says cancel "connecting: interrupted, cancelling the attempt"
says_part cancel "error -9998: Connection cancelled"

# ---- SIGTERM to the background owner disconnects first ----
step "SIGTERM to the background owner disconnects first"
start_gateway
expect_eq "up again" "$(run up3 "${profile[@]}" up)" 0
owner=$(sed -n 's/^up: solvarin-cli (pid \([0-9]*\)) owns.*/\1/p' "$work/up3.log")
pids+=("$owner")
kill -TERM "$owner"
timeout 10 tail --pid="$owner" -f /dev/null || fail "the background owner did not end on SIGTERM"
grep -q "disconnect reason: solvarin-cli up stopped," "$inst/log/SrvLog.csv" || fail "SIGTERM did not disconnect"
echo "PASS"
