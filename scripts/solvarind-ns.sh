# Sourced helpers that run solvarind and its client programs in the client
# namespace of the test network, with the daemon's fixed paths private to
# one run: a mount namespace of its own holds fresh /run (the IPC sockets),
# /var/lib/Solvarin and /tmp (the device node), and the daemon runs from an
# installation directory of its own (INST, where its registry, log and
# status.json live). /var/lib/Solvarin is INST/var-lib-Solvarin, so that a
# daemon started again on the same INST finds what the one before left
# there, as after a restart. Nothing of the machine's own directories is
# touched.
#
#   cover_keeping DIR NAME KEEP...    a fresh tmpfs over DIR, KEEP paths bound back
#   daemon_start BUILD INST CLI_NS [ARG]  starts it (ARG: its first argument,
#                                     run_as_process unless given; "" for none,
#                                     so that it detaches); DAEMON_PID
#                                     is the process started (the daemon's own
#                                     unless it detaches); it waits for the IPC
#                                     sockets unless DAEMON_NO_WAIT is set
#   as_client CMD...                  runs CMD as uid $CLI_UID (1000) beside the daemon
#   cli_start NAME [OPTIONS...]       a solvarin-cli in script mode: its
#                                     actions go to $work/NAME.in, its output
#                                     to $work/NAME.log; CLI_PID[NAME]
#   cli_say NAME ACTION               one action for that client
#   cli_stop NAME                     ends it (quit, then TERM)
#   ask NAME ACTION CODE [SECONDS]    sends ACTION and prints the client's new
#                                     reply line of command CODE (5 s)
#   connect_outcome NAME SECONDS      a connect: "RESULT ERROR"
#   field LINE NAME                   the value of field NAME of a reply line
#   expect_fields WHAT LINE WANT      each NAME=VALUE of WANT is that field of LINE
#   expect_replies NAME <TABLE        each line "ACTION|WANT": the reply to
#                                     ACTION has the fields of WANT
#   wait_gone PID SECONDS             until PID has ended (a zombie has)
# `work` and `build` must be set; started processes are added to `pids`;
# the sourcing test provides `fail` and `expect_eq` (netns_common.sh); ask
# and connect_outcome end the run through `fail` when no reply comes.

declare -A CLI_PID CLI_FD

# Covers DIR with a fresh tmpfs named NAME; each KEEP path that lies under
# DIR (a build tree, a work directory, a clone in /tmp) is bound back from a
# handle on the original directory opened before the cover.
cover_keeping() {  # dir name keep...
  local dir=$1 name=$2 old p
  shift 2
  exec {old}<"$dir"
  mount -t tmpfs "$name" "$dir"
  for p in "$@"; do
    case $p in "$dir"/*)
      mkdir -p "$p"
      mount --no-canonicalize --bind "/proc/self/fd/$old/${p#"$dir"/}" "$p" ;;
    esac
  done
  exec {old}<&-
}

daemon_start() {  # build inst netns [first argument]
  local build=$1 inst=$2 ns=$3 arg=${4-run_as_process}
  mkdir -p "$inst"
  inst=$(realpath "$inst")
  cp "$build/Service/solvarind" "$inst/solvarind"
  chmod 755 "$inst"
  # /run/solvarin-inst is the installation directory as the daemon sees
  # it: a bind of INST made before /tmp is covered. The build tree and the
  # work directory stay visible wherever they lie.
  ip netns exec "$ns" unshare -m --propagation private bash -c "$(declare -f cover_keeping)"'
    set -e
    keep=("$3" "$4" "$1")
    cover_keeping /run solvarin-run "${keep[@]}"
    mkdir /run/solvarin-inst
    mount --bind "$1" /run/solvarin-inst
    cover_keeping /var/lib solvarin-lib "${keep[@]}"
    mkdir -p /run/solvarin-inst/var-lib-Solvarin /var/lib/Solvarin
    mount --bind /run/solvarin-inst/var-lib-Solvarin /var/lib/Solvarin
    cover_keeping /tmp solvarin-tmp "${keep[@]}"
    exec /run/solvarin-inst/solvarind $2' solvarind "$inst" "$arg" "$(realpath "$build")" \
    "$(realpath "$work")" >"$work/daemon.out" 2>&1 &
  DAEMON_PID=$!
  pids+=("$DAEMON_PID")
  [ "$arg" = run_as_process ] && [ -z "${DAEMON_NO_WAIT:-}" ] || return 0
  # Its sockets as the daemon itself sees them, once it runs (before, the
  # process is still setting up its mounts and sees the machine's /run).
  for _ in $(seq 100); do
    [ "$(readlink "/proc/$DAEMON_PID/exe" 2>/dev/null)" = /run/solvarin-inst/solvarind ] &&
      [ -S "/proc/$DAEMON_PID/root/run/solvarin/solvarin_connection_ipc.socket" ] && return 0
    sleep 0.1
  done
  echo "solvarind did not open its sockets" >&2
  return 1
}

as_client() {
  local uid=${CLI_UID:-1000}
  nsenter -t "$DAEMON_PID" -m -n setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"
}


cli_start() {  # name options...
  local name=$1
  shift
  rm -f "$work/$name.in"
  mkfifo "$work/$name.in"
  local uid=${CLI_UID:-1000}
  nsenter -t "$DAEMON_PID" -m -n setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    "$build/tools/solvarin-cli/solvarin-cli" "$@" - <"$work/$name.in" >"$work/$name.log" 2>&1 &
  CLI_PID[$name]=$!
  pids+=("$!")
  exec {fd}>"$work/$name.in"
  CLI_FD[$name]=$fd
  wait_for "$work/$name.log" "^registered id=" 5
}

# In a subshell: a client that has gone ends only that with SIGPIPE.
cli_say() { (echo "$2" >&"${CLI_FD[$1]}") 2>/dev/null; }

cli_stop() {
  local name=$1
  cli_say "$name" quit 2>/dev/null || true
  exec {CLI_FD[$name]}>&-
  kill "${CLI_PID[$name]}" 2>/dev/null || true
  wait "${CLI_PID[$name]}" 2>/dev/null || true
}

ask() {  # name action code [seconds]
  local before
  before=$(grep -c "^reply code=$3 " "$work/$1.log" || true)
  cli_say "$1" "$2"
  for _ in $(seq $((${4:-5} * 10))); do
    [ "$(grep -c "^reply code=$3 " "$work/$1.log" || true)" -gt "$before" ] && break
    sleep 0.1
  done
  [ "$(grep -c "^reply code=$3 " "$work/$1.log" || true)" -gt "$before" ] || fail "no reply to '$2' ($1)"
  grep "^reply code=$3 " "$work/$1.log" | tail -1
}
# A connect of client NAME: "RESULT ERROR" (the error as the signed number it is).
connect_outcome() {  # name seconds
  ask "$1" connect 3 "$2" | sed -E 's/.* result=([0-9]+) value1=[0-9]+ value2=([0-9]+) .*/\1 \2/' |
    awk '{ e = $2; if (e >= 2147483648) e -= 4294967296; print $1, e }'
}

# The value of field NAME in a reply or push line ("text" is the rest of
# the line).
field() {  # line name
  if [ "$2" = text ]; then
    printf '%s\n' "${1#* text=}"
  else
    printf '%s\n' "${1%% text=*}" | tr ' ' '\n' | sed -n "s/^$2=//p"
  fi
}
# Each NAME=VALUE of WANT equals that field of LINE.
expect_fields() {  # what line want
  local f
  for f in $3; do expect_eq "$1: ${f%%=*}" "$(field "$2" "${f%%=*}")" "${f#*=}"; done
}
# Sends each ACTION of the lines "ACTION|WANT" on standard input as client
# NAME; the reply must have the fields of WANT.
expect_replies() {  # name
  local action want code
  while IFS='|' read -r action want; do
    [ -z "$action" ] && continue
    code=$(echo "$action" | awk '{print $2}')
    expect_fields "'$action' of $1" "$(ask "$1" "$action" "$code")" "$want"
  done
}

# Waits until process PID has ended: gone, or a zombie its parent has not
# reaped yet.
wait_gone() {  # pid seconds
  for _ in $(seq $(($2 * 10))); do
    case "$(sed -E 's/.*\) (.).*/\1/' "/proc/$1/stat" 2>/dev/null || echo X)" in X | Z) return 0 ;; esac
    sleep 0.1
  done
  return 1
}
