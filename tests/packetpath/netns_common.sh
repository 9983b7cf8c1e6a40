# Shared by the namespace tests, sourced after `build` is set: root check,
# a test network named PREFIX$$ with cleanup on exit (the processes started
# are listed in `pids`), a work directory (under NETNS_WORK_PARENT when it
# is set, else in /tmp), failure with the logs, a check of a value, and
# waits for a file, a line in it or a listening socket.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
tools="python3 $here/netns_tools.py"
if [ "$(id -u)" != 0 ]; then
  echo "needs root for namespaces: skipped"
  exit 77
fi

p=${NETNS_PREFIX:?}$$
cli=${p}cli gw=${p}gw corp=${p}corp
work=$(mktemp -d ${NETNS_WORK_PARENT:+-p "$NETNS_WORK_PARENT" netns-test.XXXXXX})
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  bash "$root/scripts/testnet.sh" down "$p" || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
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
