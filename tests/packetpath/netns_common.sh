# Shared by the namespace tests, sourced after `build` is set: root check,
# a test network named PREFIX$$ with cleanup on exit and on SIGTERM or
# SIGINT (the processes started are listed in `pids`), and the test networks
# of earlier runs of the same prefix that were killed outright removed; a
# work directory (under NETNS_WORK_PARENT when it is set, else in /tmp);
# deadlines (below); failure with the logs, a check of a value, and waits
# for a file, a line in it or a listening socket.
#
# Deadlines: the run fails once NETNS_DEADLINE seconds (200 unless set: keep
# it below the test's time-out in ctest) are up, and a step begun with
# `step NAME [SECONDS]` once NETNS_STEP_SECONDS (120 unless set) or SECONDS
# are up, with a message that names the step: every process the run started
# is sent SIGTERM (SIGKILL 10 s later), and the cleanup runs.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
tools="python3 $here/netns_tools.py"
if [ "$(id -u)" != 0 ]; then
  echo "needs root for namespaces: skipped"
  exit 77
fi

# The test networks of runs of this prefix whose process is gone (killed
# outright, they could not clean up).
for stale in $(ip netns list | sed -nE "s/^${NETNS_PREFIX:?}([0-9]+)(cli|gw|corp|pa|pb)( .*)?$/\1/p" | sort -u); do
  kill -0 "$stale" 2>/dev/null || bash "$root/scripts/testnet.sh" down "$NETNS_PREFIX$stale" || true
done

p=${NETNS_PREFIX:?}$$
cli=${p}cli gw=${p}gw corp=${p}corp
work=$(mktemp -d ${NETNS_WORK_PARENT:+-p "$NETNS_WORK_PARENT" netns-test.XXXXXX})
pids=()
watchdog=
stop_watchdog() {
  if [ -n "$watchdog" ]; then kill "$watchdog" 2>/dev/null || true; fi
  watchdog=
}
cleanup() {
  stop_watchdog
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  bash "$root/scripts/testnet.sh" down "$p" || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  stop_watchdog
  echo "FAIL: $*"
  set +e
  for f in "$work"/*.log; do
    echo "== $f"
    grep -v "refused: authentication" "$f" | tail -n 30
    echo "($(grep -c "refused: authentication" "$f") datagrams refused for authentication)"
  done
  exit 1
}
expect_eq() {  # what got want
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}

# The step under way, and when it and the run are due (seconds since the
# epoch): in $work/step for the watchdog.
step_name="setting up"
run_due=$(($(date +%s) + ${NETNS_DEADLINE:-200}))
echo "$run_due $run_due 0 $step_name" >"$work/step"
step() {  # name [seconds]
  step_name=$1
  local seconds=${2:-${NETNS_STEP_SECONDS:-120}}
  echo "$(($(date +%s) + seconds)) $run_due $seconds $step_name" >"$work/step.new"
  mv "$work/step.new" "$work/step"
}
# The processes started below PID, however deep, but those below SKIP.
descendants() {  # pid skip
  local child
  for child in $(ps -o pid= --ppid "$1"); do
    [ "$child" = "$2" ] && continue
    echo "$child"
    descendants "$child" "$2"
  done
}
# Once the step or the run is due: why in $work/timed-out, SIGTERM to the
# run and all it started (again and again, until the run's fail or cleanup
# ends the watchdog: the run may have started the next command meanwhile),
# SIGKILL to what is left 10 s later.
watch_deadlines() {
  local self=$BASHPID due rdue seconds name
  while sleep 1; do
    read -r due rdue seconds name <"$work/step" || continue
    if [ "$(date +%s)" -ge "$rdue" ]; then
      echo "the run's ${NETNS_DEADLINE:-200} s are up, in step: $name" >"$work/timed-out"
    elif [ "$(date +%s)" -ge "$due" ]; then
      echo "step not done within $seconds s: $name" >"$work/timed-out"
    else
      continue
    fi
    kill -TERM $$ 2>/dev/null || exit 0
    for _ in $(seq 50); do
      kill -TERM $(descendants $$ "$self") 2>/dev/null || true
      sleep 0.2
    done
    echo "FAIL: $(cat "$work/timed-out"); still running 10 s after SIGTERM"
    kill -KILL $(descendants $$ "$self") $$ 2>/dev/null || true
    exit 1
  done
}
watch_deadlines &
watchdog=$!
trap 'stop_watchdog; fail "$(cat "$work/timed-out" 2>/dev/null || echo "ended by a signal in step: $step_name")"' TERM INT
wait_for() {  # file pattern seconds
  for _ in $(seq $((${3} * 10))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
wait_file() {  # file seconds
  for _ in $(seq $((${2} * 10))); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
# Waits until FILE has more than N lines matching PATTERN.
wait_more() {  # file pattern n seconds
  for _ in $(seq $(($4 * 10))); do
    [ "$(grep -c "$2" "$1" || true)" -gt "$3" ] && return 0
    sleep 0.1
  done
  return 1
}
# Waits until a TCP socket listens on PORT in namespace NS.
wait_listen() {  # ns port seconds
  for _ in $(seq $(($3 * 10))); do
    [ -n "$(ip netns exec "$1" ss -Hltn "sport = :$2")" ] && return 0
    sleep 0.1
  done
  return 1
}
# The test network and zornfhost in its client namespace, up once its
# control endpoint answers.
start_network() {
  bash "$root/scripts/testnet.sh" up "$p"
  ZORNFHOST="$build/host/zornfhost" bash "$root/scripts/testnet.sh" host "$p" 2>"$work/host.log" &
  pids+=($!)
  ip netns exec "$cli" $tools wait-host 10 || fail "zornfhost did not answer"
}
# Ends process PID: SIGTERM, SIGKILL when it is still there 5 s later.
stop_pid() {  # pid
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
# The gateway simulator with its TUN device (control FIFO $work/gwctl) and
# the options given; what the host behind the gateway sends back to the
# client goes into the tunnel, and only the tunnel reaches that host. A
# simulator started before is ended first and the log ($work/gwsim.log)
# starts anew.
gateway_pid=
start_gateway() {  # [gwsim options...]
  if [ -n "$gateway_pid" ]; then stop_pid "$gateway_pid"; fi
  rm -f "$work/gwready"
  ip netns exec "$gw" "$build/tools/gwsim/gwsim" --listen 203.0.113.1 --tun gwtun0 \
    --control "$work/gwctl" --ready-file "$work/gwready" "$@" 2>"$work/gwsim.log" &
  gateway_pid=$!
  pids+=("$gateway_pid")
  wait_file "$work/gwready" 5 || fail "gateway simulator did not start"
  bash "$root/scripts/testnet.sh" tunnel "$p"
}
