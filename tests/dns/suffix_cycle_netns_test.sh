#!/bin/bash
# The gateway's DNS search suffixes through the whole system, against a real
# NetworkManager on a private bus: the gateway simulator sends them in its
# SYN OKF, the filter in zornfhost keeps them, command 28 puts them on the
# eligible connections and saves the old lists in the baseline file; the
# old lists come back after a disconnect, after the owner's loss, and at the
# start of a daemon that was killed while they were set.
set -euo pipefail
build=${1:?usage: suffix_cycle_netns_test.sh BUILD_DIR}
NETNS_PREFIX=ds
NETNS_DEADLINE=280  # below the time-out in ctest
NETNS_WORK_PARENT=$build  # outside /tmp: the daemon covers it
source "$(dirname "$0")/../packetpath/netns_common.sh"
source "$root/scripts/solvarind-ns.sh"
chmod 755 "$work"
inst=$work/inst
baseline=$inst/var-lib-Solvarin/dns-suffix-baseline.json
profile=(--gateway 203.0.113.1 --profile-type 1 --tunnel-group sales)

# What NetworkManager holds: a profile's search list, a device's applied one.
search() { nmcli -g ipv4.dns-search connection show "$1"; }
applied() { nmcli -g IP4.SEARCHES device show "$1"; }
# Waits until the profile's search list is WANT (a restore runs after the
# event that triggers it).
wait_search() {  # id want seconds
  for _ in $(seq $(($3 * 10))); do
    [ "$(search "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

start_network
# Only the DNS names of the gateway's text reach NetworkManager, each once.
start_gateway --dns-suffixes "a.example;..;x_y.example;a..b;A.EXAMPLE;b.example"
# Two eligible connections and one that a name prefix excludes.
"$build/tests/dns/dns_nm_bench" "$work" "Wired A" zda0 "old.example;lab.example;" "Wired B" zdb0 "" \
  docker-lan zdc0 "keep.example;" >"$work/nm.log" 2>&1 &
pids+=($!)
wait_for "$work/nm.log" "^ready bus=" 60 || fail "NetworkManager did not come up"
DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^ready bus=//p' "$work/nm.log")
export DBUS_SYSTEM_BUS_ADDRESS
old_lists='{"connections":[{"id":"Wired A","search":["old.example","lab.example"]},{"id":"Wired B","search":[]}]}'

daemon_start "$build" "$inst" "$cli" || fail "solvarind did not start"
ln -s "$inst/log/SrvLog.csv" "$work/srvlog.log"  # shown with the other logs on failure

# ---- 1. Connect, command 28, disconnect by the owner ----
step "1. Connect, command 28, disconnect by the owner"
cli_start owner "${profile[@]}" || fail "the owner did not register"
expect_eq "connect" "$(connect_outcome owner 20)" "0 0"
ask owner "request 28" 28 >/dev/null
expect_eq "Wired A while connected" "$(search "Wired A")" "a.example,b.example"
expect_eq "Wired B while connected" "$(search "Wired B")" "a.example,b.example"
expect_eq "zda0 applies them" "$(applied zda0)" "a.example | b.example"
expect_eq "docker-lan is left alone" "$(search docker-lan)" "keep.example"
expect_eq "the baseline file" "$(cat "$baseline")" "$old_lists"
grep -q "Setting DNS suffixes: { " "$inst/log/SrvLog.csv" || fail "no suffixes logged"
grep -q "DNS suffix left out (not a DNS name): x_y.example" "$inst/log/SrvLog.csv" || fail "x_y.example not left out"
grep -q "DNS suffix left out (named before): A.EXAMPLE" "$inst/log/SrvLog.csv" || fail "A.EXAMPLE not left out"
ask owner "disconnect bye" 6 >/dev/null
wait_search "Wired A" "old.example,lab.example" 10 || fail "Wired A not restored after the disconnect"
expect_eq "Wired B after the disconnect" "$(search "Wired B")" ""
expect_eq "zda0 after the disconnect" "$(applied zda0)" "old.example | lab.example"
[ ! -e "$baseline" ] || fail "the baseline file stayed after a complete restore"

# ---- 2. The owner's loss ----
step "2. The owner's loss"
expect_eq "reconnect" "$(connect_outcome owner 20)" "0 0"
ask owner "request 28" 28 >/dev/null
expect_eq "Wired A connected again" "$(search "Wired A")" "a.example,b.example"
expect_eq "the baseline file again" "$(cat "$baseline")" "$old_lists"
kill "${CLI_PID[owner]}"
wait_for "$inst/log/SrvLog.csv" "Restore DNS suffixes after: Tunnel owner IPC connection lost" 10 ||
  fail "no restore after the owner's loss"
wait_search "Wired A" "old.example,lab.example" 10 || fail "Wired A not restored after the owner's loss"
expect_eq "Wired B after the owner's loss" "$(search "Wired B")" ""
[ ! -e "$baseline" ] || fail "the baseline file stayed after the owner's loss"
cli_stop owner

# ---- 3. A daemon killed while the suffixes are set, then started again ----
step "3. A daemon killed while the suffixes are set, then started again"
cli_start second "${profile[@]}" || fail "the second client did not register"
expect_eq "connect before the kill" "$(connect_outcome second 20)" "0 0"
ask second "request 28" 28 >/dev/null
expect_eq "Wired A before the kill" "$(search "Wired A")" "a.example,b.example"
kill -KILL "$DAEMON_PID"
wait "$DAEMON_PID" 2>/dev/null || true
cli_stop second
expect_eq "Wired A after the kill" "$(search "Wired A")" "a.example,b.example"
expect_eq "the baseline file after the kill" "$(cat "$baseline")" "$old_lists"
daemon_start "$build" "$inst" "$cli" || fail "solvarind did not start again"
wait_search "Wired A" "old.example,lab.example" 10 || fail "Wired A not restored at the start"
expect_eq "Wired B after the start" "$(search "Wired B")" ""
expect_eq "docker-lan after the start" "$(search docker-lan)" "keep.example"
grep -q "Restore DNS suffixes after service restart, connections: 2" "$inst/log/SrvLog.csv" ||
  fail "the start did not restore the baseline"
[ ! -e "$baseline" ] || fail "the baseline file stayed after the restore at the start"
echo "PASS"
