#!/bin/bash
# solvarind's single instance, in a mount and network namespace of their
# own (fresh /run and /tmp, no network filter: the daemon waits for one):
# the wait it tells about on stderr (and what a client is told meanwhile),
# the lock that only root may open and the phase file that clients read, a
# second daemon refused, restarts after a stop, a crash and a kill -9 while
# another user waits in flock on every file of the run directory, the
# detached daemon's pid in the phase file, and sockets that outlive their
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
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$build")
# cover_keeping and wait_gone.
source "$here/../../scripts/solvarind-ns.sh"
# Fresh /run and /tmp; the tree, the build and the working directory stay
# visible wherever they lie (a clone or a build in /tmp).
keep=("$(cd "$here/../.." && pwd)" "$build" "$PWD")
cover_keeping /run solvarin-test "${keep[@]}"
mkdir /run/inst
cp "$build/Service/solvarind" /run/inst/solvarind
cp "$build/tools/solvarin-cli/solvarin-cli" /run/inst/solvarin-cli
chmod 755 /run /run/inst
# The work directory, the started processes and their cleanup, fail, wait_for.
NETNS_PREFIX=si
NETNS_DEADLINE=50  # below the time-out in ctest
NETNS_WORK_PARENT=/run
source "$here/../packetpath/netns_common.sh"
cover_keeping /tmp solvarin-test "${keep[@]}"
ulimit -c 0   # the crash below leaves no core
daemon=/run/inst/solvarind
client=(setpriv --reuid=1000 --regid=1000 --clear-groups /run/inst/solvarin-cli)
run_dir=/var/run/solvarin
lock=$run_dir/solvarind-instance.lock
phase=$run_dir/solvarind.phase
# Runs a program that must end at once (a client, a daemon refused or
# detaching): its exit status in $status, output in $work/out.log and
# $work/err.log; a failure when it still runs after 10 s.
run_bounded() {  # what command...
  status=0
  timeout -k 1 10 "${@:2}" >"$work/out.log" 2>"$work/err.log" || status=$?
  [ "$status" != 124 ] && [ "$status" != 137 ] || fail "$1: still running after 10 s, it should have ended at once"
}
# Starts a daemon in the foreground that must get as far as its wait for
# the filter; its pid in $started.
start_daemon() {  # name
  "$daemon" run_as_process 2>"$work/$1.log" &
  started=$!
  pids+=("$started")
  wait_for "$work/$1.log" "^solvarind: waiting for the network filter (zornfhost or the kernel module)$" 10 ||
    fail "$1: the daemon did not start: $(cat "$work/$1.log")"
}
# Ends the daemon $started with the signal, then a new one must start.
restart_after() {  # signal
  kill -"$1" "$started"
  wait_gone "$started" 15 || fail "the daemon did not end on SIG$1"
  wait "$started" 2>/dev/null || true
  start_daemon "after-$1"
  expect_eq "pid and phase after SIG$1" "$(tr -d '\n' <"$phase")" "$started starting"
}

# ---- the first daemon waits for the filter and says so ----
start_daemon first
first=$started
expect_eq "the wait is told once" "$(sleep 2.5; grep -c "waiting for the network filter" "$work/first.log")" 1
expect_eq "pid and phase" "$(tr -d '\n' <"$phase")" "$first starting"
run_bounded "a client meanwhile" "${client[@]}" status
expect_eq "a client meanwhile" "$status" 3
grep -q "^error: no daemon yet: solvarind (pid $first) runs but does not serve clients yet; it waits for the network filter" \
  "$work/err.log" || fail "the client was not told that the daemon waits for the filter"

# ---- the lock is root's alone, the phase file is for every user to read ----
expect_eq "the lock's mode and owner" "$(stat -c '%a %U' "$lock")" "600 root"
expect_eq "the phase file's mode and owner" "$(stat -c '%a %U' "$phase")" "644 root"

# ---- a second daemon is refused at once, in the foreground or detaching ----
run_bounded "a second daemon" "$daemon" run_as_process
expect_eq "a second daemon" "$status" 1
expect_eq "its message" "$(cat "$work/err.log")" "solvarind: another solvarind is running (pid $first); stop it first"
run_bounded "a second detaching daemon" "$daemon"
expect_eq "a second detaching daemon" "$status" 1
grep -q "another solvarind is running (pid $first)" "$work/err.log" || fail "the detaching one was not told"
kill -0 "$first" || fail "the first daemon did not survive the second"

# ---- another user waits in flock on the run directory and every file in it ----
# (the system's python: a user may not reach root's own)
setpriv --reuid=1000 --regid=1000 --clear-groups /usr/bin/python3 -c '
import fcntl, os, sys, threading, time
def say(line):
    os.write(1, (line + "\n").encode())
def hold(path):
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError as e:
        say("cannot open " + path + ": " + e.strerror)
        return
    fcntl.flock(fd, fcntl.LOCK_EX)
    say("holds " + path)
for path in sys.argv[1:]:
    threading.Thread(target=hold, args=(path,), daemon=True).start()
time.sleep(120)
' "$run_dir" "$run_dir"/* >"$work/squatter.log" 2>&1 &
pids+=("$!")
wait_for "$work/squatter.log" "^holds $phase$" 5 || fail "the user could not take the phase file's lock"
wait_for "$work/squatter.log" "^cannot open $lock: Permission denied$" 5 || fail "another user may open the lock"

# ---- restarts after a stop, a crash and a kill -9 all start ----
restart_after TERM
restart_after SEGV
restart_after KILL
kill -9 "$started"
wait "$started" 2>/dev/null || true

# ---- detached: the daemon's own pid is in the phase file ----
run_bounded "the detaching parent" "$daemon"
expect_eq "the detaching parent" "$status" 0
detached=
for _ in $(seq 50); do
  detached=$(cut -d' ' -f1 "$phase" 2>/dev/null || true)
  [ -n "$detached" ] && [ "$(readlink "/proc/$detached/exe" || true)" = "$daemon" ] && break
  sleep 0.1
done
pids+=("$detached")
expect_eq "the detached daemon in the phase file" "$(readlink "/proc/$detached/exe" || true)" "$daemon"
run_bounded "a daemon beside the detached one" "$daemon" run_as_process
expect_eq "a daemon beside the detached one" "$status" 1
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
' "$run_dir/solvarin_cl_srv_ipc.socket")
maker=${holder% *}
pids+=("${holder#* }")
run_bounded "a client beside orphaned sockets" "${client[@]}" status
expect_eq "a client beside orphaned sockets" "$status" 3
grep -q "^error: daemon stopping: solvarind (pid $maker) has ended and its sockets are closing$" "$work/err.log" ||
  fail "the client was not told that the daemon has ended"
echo "PASS"
