#!/bin/bash
# solvarind's command line and its single instance, in a mount and network
# namespace of their own (fresh /run and /tmp, no network filter: the daemon
# waits for one): --help, --version, unknown arguments, the wait it tells
# about on stderr, a second daemon refused, the lock of a killed daemon
# taken over, and the detached daemon's pid in the lock file.
set -euo pipefail
build=${1:?usage: solvarind_instance_test.sh BUILD_DIR VERSION}
version=${2:?usage: solvarind_instance_test.sh BUILD_DIR VERSION}
if [ "$(id -u)" != 0 ]; then
  echo "needs root for namespaces: skipped"
  exit 77
fi
if [ -z "${SOLVARIND_INSTANCE_TEST_INSIDE-}" ]; then
  exec env SOLVARIND_INSTANCE_TEST_INSIDE=1 unshare -m -n --propagation private bash "$0" "$@"
fi
mount -t tmpfs solvarin-test /run
mkdir /run/inst /run/work
cp "$build/Service/solvarind" /run/inst/solvarind
mount -t tmpfs solvarin-test /tmp
daemon=/run/inst/solvarind
work=/run/work
lock=/var/run/solvarin/solvarind.lock
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$work"/*; do echo "== $f"; tail -n 20 "$f"; done
  exit 1
}
wait_for() {  # file pattern seconds
  for _ in $(seq $(($3 * 10))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
expect_eq() {  # what got want
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}
status_of() {  # command...: its exit status, output in $work/out and $work/err
  local s=0
  "$@" >"$work/out" 2>"$work/err" || s=$?
  echo "$s"
}

# ---- the command line ----
expect_eq "--help" "$(status_of "$daemon" --help)" 0
grep -q "^usage: solvarind " "$work/out" || fail "--help shows no usage"
grep -q "run_as_process" "$work/out" || fail "--help does not name run_as_process"
expect_eq "--version" "$(status_of "$daemon" --version)" 0
expect_eq "version text" "$(cat "$work/out")" "solvarind $version"
expect_eq "an unknown argument" "$(status_of "$daemon" --bogus)" 2
grep -q "unknown argument '--bogus'" "$work/err" || fail "the unknown argument is not named"
grep -q "^usage: solvarind " "$work/err" || fail "no usage for an unknown argument"
expect_eq "an argument after run_as_process" "$(status_of "$daemon" run_as_process extra)" 2
expect_eq "nothing started by bad arguments" "$(ls /var/run/solvarin 2>/dev/null || true)" ""

# ---- the first daemon waits for the filter and says so ----
"$daemon" run_as_process 2>"$work/first.err" &
first=$!
pids+=("$first")
wait_for "$work/first.err" "^solvarind: waiting for the network filter (zornfhost or the kernel module)$" 10 ||
  fail "no line about the wait for the filter"
expect_eq "the wait is told once" "$(sleep 2.5; grep -c "waiting for the network filter" "$work/first.err")" 1
expect_eq "pid in the lock" "$(tr -d '\n' <"$lock")" "$first"

# ---- a second daemon is refused, in the foreground or detaching ----
expect_eq "a second daemon" "$(status_of "$daemon" run_as_process)" 1
expect_eq "its message" "$(cat "$work/err")" "solvarind: another solvarind is running (pid $first); stop it first"
expect_eq "a second detaching daemon" "$(status_of "$daemon")" 1
grep -q "another solvarind is running (pid $first)" "$work/err" || fail "the detaching one was not told"
kill -0 "$first" || fail "the first daemon did not survive the second"

# ---- the lock of a killed daemon is taken over ----
kill -9 "$first"
wait "$first" 2>/dev/null || true
"$daemon" run_as_process 2>"$work/third.err" &
third=$!
pids+=("$third")
wait_for "$work/third.err" "waiting for the network filter" 10 || fail "the lock of a killed daemon was not taken over"
expect_eq "pid in the taken-over lock" "$(tr -d '\n' <"$lock")" "$third"
kill -9 "$third"
wait "$third" 2>/dev/null || true

# ---- detached: the daemon's own pid is in the lock ----
expect_eq "the detaching parent" "$(status_of "$daemon")" 0
detached=
for _ in $(seq 50); do
  detached=$(tr -d '\n' <"$lock" 2>/dev/null || true)
  [ -n "$detached" ] && [ "$(readlink "/proc/$detached/exe" || true)" = "$daemon" ] && break
  sleep 0.1
done
pids+=("$detached")
expect_eq "the detached daemon in the lock" "$(readlink "/proc/$detached/exe" || true)" "$daemon"
expect_eq "a daemon beside the detached one" "$(status_of "$daemon" run_as_process)" 1
grep -q "another solvarind is running (pid $detached)" "$work/err" || fail "the detached daemon's pid was not named"
echo "PASS"
