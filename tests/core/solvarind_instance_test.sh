#!/bin/bash
# solvarind's single instance, in a mount and network namespace of their
# own (fresh /run and /tmp, no network filter: the daemon waits for one):
# the wait it tells about on stderr (and what a client is told meanwhile), a
# second daemon refused, the lock of a killed daemon taken over, the
# detached daemon's pid in the lock file, and sockets that outlive their
# daemon.
set -euo pipefail
build=${1:?usage: solvarind_instance_test.sh BUILD_DIR}
if [ "$(id -u)" != 0 ]; then
  echo "needs root for namespaces: skipped"
  exit 77
fi
if [ -z "${SOLVARIND_INSTANCE_TEST_INSIDE-}" ]; then
  exec env SOLVARIND_INSTANCE_TEST_INSIDE=1 unshare -m -n --propagation private bash "$0" "$@"
fi
mount -t tmpfs solvarin-test /run
mkdir /run/inst
cp "$build/Service/solvarind" /run/inst/solvarind
cp "$build/tools/solvarin-cli/solvarin-cli" /run/inst/solvarin-cli
chmod 755 /run /run/inst
# The work directory, the started processes and their cleanup, fail, wait_for.
NETNS_PREFIX=si
NETNS_WORK_PARENT=/run
source "$(dirname "$0")/../packetpath/netns_common.sh"
mount -t tmpfs solvarin-test /tmp
daemon=/run/inst/solvarind
client() { setpriv --reuid=1000 --regid=1000 --clear-groups /run/inst/solvarin-cli "$@"; }
lock=/var/run/solvarin/solvarind.lock
expect_eq() {  # what got want
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}
status_of() {  # command...: its exit status, output in $work/out.log and $work/err.log
  local s=0
  "$@" >"$work/out.log" 2>"$work/err.log" || s=$?
  echo "$s"
}

# ---- the first daemon waits for the filter and says so ----
"$daemon" run_as_process 2>"$work/first.log" &
first=$!
pids+=("$first")
wait_for "$work/first.log" "^solvarind: waiting for the network filter (zornfhost or the kernel module)$" 10 ||
  fail "no line about the wait for the filter"
expect_eq "the wait is told once" "$(sleep 2.5; grep -c "waiting for the network filter" "$work/first.log")" 1
expect_eq "pid and phase in the lock" "$(tr -d '\n' <"$lock")" "$first starting"
expect_eq "a client meanwhile" "$(status_of client status)" 3
grep -q "^error: no daemon yet: solvarind (pid $first) runs but does not serve clients yet; it waits for the network filter" \
  "$work/out.log" || fail "the client was not told that the daemon waits for the filter"

# ---- a second daemon is refused, in the foreground or detaching ----
expect_eq "a second daemon" "$(status_of "$daemon" run_as_process)" 1
expect_eq "its message" "$(cat "$work/err.log")" "solvarind: another solvarind is running (pid $first); stop it first"
expect_eq "a second detaching daemon" "$(status_of "$daemon")" 1
grep -q "another solvarind is running (pid $first)" "$work/err.log" || fail "the detaching one was not told"
kill -0 "$first" || fail "the first daemon did not survive the second"

# ---- the lock of a killed daemon is taken over ----
kill -9 "$first"
wait "$first" 2>/dev/null || true
"$daemon" run_as_process 2>"$work/third.log" &
third=$!
pids+=("$third")
wait_for "$work/third.log" "waiting for the network filter" 10 || fail "the lock of a killed daemon was not taken over"
expect_eq "pid and phase in the taken-over lock" "$(tr -d '\n' <"$lock")" "$third starting"
kill -9 "$third"
wait "$third" 2>/dev/null || true

# ---- detached: the daemon's own pid is in the lock ----
expect_eq "the detaching parent" "$(status_of "$daemon")" 0
detached=
for _ in $(seq 50); do
  detached=$(cut -d' ' -f1 "$lock" 2>/dev/null || true)
  [ -n "$detached" ] && [ "$(readlink "/proc/$detached/exe" || true)" = "$daemon" ] && break
  sleep 0.1
done
pids+=("$detached")
expect_eq "the detached daemon in the lock" "$(readlink "/proc/$detached/exe" || true)" "$daemon"
expect_eq "a daemon beside the detached one" "$(status_of "$daemon" run_as_process)" 1
grep -q "another solvarind is running (pid $detached)" "$work/err.log" || fail "the detached daemon's pid was not named"
kill -9 "$detached"

# ---- sockets that outlive the process that made them ----
# (held by a child of it): the client says the daemon has ended.
# The maker prints the holder's pid and ends; the holder keeps no output open.
holder=$(python3 -c '
import os, socket, sys, time
os.umask(0)
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1]); s.listen(8)
pid = os.fork()
if pid:
    print(os.getpid(), pid)
    sys.exit(0)
for fd in (0, 1, 2):
    os.close(fd)
time.sleep(30)
' /var/run/solvarin/solvarin_cl_srv_ipc.socket)
maker=${holder% *}
pids+=("${holder#* }")
expect_eq "a client beside orphaned sockets" "$(status_of client status)" 3
grep -q "^error: daemon stopping: solvarind (pid $maker) has ended and its sockets are closing$" "$work/out.log" ||
  fail "the client was not told that the daemon has ended"
echo "PASS"
