#!/bin/bash
# The main job: builds everything, runs the crypto self-checks, then shows
# the VPN client at work in network namespaces of its own (documentation
# address ranges only; everything is removed at the end):
#   zornfhost (the filter library's host) and solvarind in the client
#   namespace, the gateway simulator in the gateway namespace, a corporate
#   host behind it; solvarin-cli connects, traffic crosses the encrypted
#   tunnel, status and statistics are shown; the gateway's DNS search
#   suffixes go onto the connections of a real NetworkManager (on a private
#   bus, in a namespace of its own) and come off again after the client
#   disconnects; the daemon is stopped.
# Then the benchmarks print their figures. The namespace parts need root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
(cd "$build" && ctest --output-on-failure -L crypto)

step() { printf '\n== %s\n' "$*"; }

demo() {
  source "$root/scripts/solvarind-ns.sh"
  p=demo$$
  cli=${p}cli gw=${p}gw corp=${p}corp
  work=$(mktemp -d -p "$build" demo.XXXXXX)  # outside /tmp: the daemon covers /tmp
  chmod 755 "$work"
  pids=()
  cleanup() {
    set +e
    for name in "${!CLI_PID[@]}"; do cli_stop "$name"; done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    bash "$root/scripts/testnet.sh" down "$p"
    rm -rf "$work"
  }
  trap cleanup EXIT
  wait_for() {  # file pattern seconds
    for _ in $(seq $(($3 * 10))); do
      grep -q "$2" "$1" 2>/dev/null && return 0
      sleep 0.1
    done
    return 1
  }
  die() {
    echo "demo failed: $*" >&2
    tail -n 20 "$work"/*.log "$work/inst/log/SrvLog.csv" 2>/dev/null >&2
    exit 1
  }
  # The client's output from line N on: replies, pushes, their words, the
  # connect's stages and the tunnel's end.
  show_replies() { tail -n +"$1" "$work/user.log" | grep -E '^(reply|push|  =|connecting:|tunnel down:)'; }

  step "test network: $cli (tap0 203.0.113.2), $gw (203.0.113.1), $corp (198.51.100.10)"
  bash "$root/scripts/testnet.sh" up "$p"
  step "zornfhost: ZorNFFltLib on tap0:wire0 in $cli"
  ZORNFHOST="$build/host/zornfhost" bash "$root/scripts/testnet.sh" host "$p" 2>"$work/host.log" &
  pids+=($!)
  step "gateway simulator on 203.0.113.1:87, only its tunnel device reaches the corporate network; DNS suffixes a.example;b.example"
  ip netns exec "$gw" "$build/tools/gwsim/gwsim" --listen 203.0.113.1 --tun gwtun0 \
    --dns-suffixes "a.example;b.example" --ready-file "$work/gwready" 2>"$work/gwsim.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$work/gwready" ] && break; sleep 0.1; done
  [ -e "$work/gwready" ] || die "the gateway simulator did not start"
  bash "$root/scripts/testnet.sh" tunnel "$p"

  step "NetworkManager on a private bus: connections 'Wired A' (search old.example, lab.example) and 'Wired B' (none)"
  "$build/tests/dns/dns_nm_bench" "$work" "Wired A" zda0 "old.example;lab.example;" "Wired B" zdb0 "" \
    >"$work/nm.log" 2>&1 &
  pids+=($!)
  wait_for "$work/nm.log" "^ready bus=" 60 || die "NetworkManager did not come up"
  DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^ready bus=//p' "$work/nm.log")
  export DBUS_SYSTEM_BUS_ADDRESS
  show_searches() {
    for id in "Wired A" "Wired B"; do
      echo "  $id: search \"$(nmcli -g ipv4.dns-search connection show "$id")\""
    done
  }
  baseline=$work/inst/var-lib-Solvarin/dns-suffix-baseline.json
  show_searches

  step "solvarind run_as_process in $cli (private /run, /var/lib/Solvarin, /tmp; installed in $work/inst)"
  daemon_start "$build" "$work/inst" "$cli" || die "solvarind did not start"
  echo "solvarind is up, pid $DAEMON_PID"

  step "solvarin-cli (uid 1000) connects: gateway 203.0.113.1, ephemeral-key profile, tunnel group sales"
  cli_start user --gateway 203.0.113.1 --profile-type 1 --tunnel-group sales || die "the client did not register"
  cli_say user connect
  wait_for "$work/user.log" "^reply code=3 " 30 || die "no answer to the connect"
  show_replies 1
  grep -q "^reply code=3 .* result=0 value1=7 " "$work/user.log" || die "the connect failed"

  link_figures() {  # the packets and bytes gw0, the gateway's link to the client, has taken and sent
    ip -n "$gw" -s -j link show gw0 | python3 -c 'import json, sys
s = json.load(sys.stdin)[0]["stats64"]
print(s["rx"]["packets"], s["rx"]["bytes"], s["tx"]["packets"], s["tx"]["bytes"])'
  }
  read -r rx_p0 rx_b0 tx_p0 tx_b0 <<<"$(link_figures)"
  step "ping 198.51.100.10 through the tunnel"
  ip netns exec "$cli" ping -c 3 -i 0.3 198.51.100.10 || die "ping through the tunnel"
  step "iperf3 TCP to 198.51.100.10 through the tunnel"
  ip netns exec "$corp" iperf3 -s -1 -B 198.51.100.10 >"$work/iperf-server.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    [ -n "$(ip netns exec "$corp" ss -Hltn "sport = :5201")" ] && break
    sleep 0.1
  done
  ip netns exec "$cli" iperf3 -c 198.51.100.10 -t 3 || die "iperf3 through the tunnel"

  read -r rx_p1 rx_b1 tx_p1 tx_b1 <<<"$(link_figures)"
  echo "tunnel datagrams at the gateway (its link gw0 carries only the tunnel; a run the simulator sends"
  echo "in one segmentation send counts as one packet):"
  echo "  from the client: $((rx_p1 - rx_p0)) packets, $((rx_b1 - rx_b0)) bytes"
  echo "  to the client:   $((tx_p1 - tx_p0)) packets, $((tx_b1 - tx_b0)) bytes"

  step "status: the state (command 1), statistics (18) of the entry that carried the traffic, firewall (35); status.json after command 28"
  seen=$(($(wc -l <"$work/user.log") + 1))
  cli_say user status
  for entry in 0 1 2 3 4 5 6 7; do cli_say user "request 18 0 $entry"; done
  cli_say user "request 35"
  cli_say user "request 28"
  wait_for "$work/user.log" "^reply code=28 " 10 || die "no status answers"
  # Of the address table's entries, only the one whose packets went through
  # the tunnel is shown (each entry's reply line with its words).
  tail -n +"$seen" "$work/user.log" | grep -E '^(reply|push|  =|connecting:|tunnel down:)' | awk '
    /^reply code=18 / { held = $0; next }
    held != "" { entries[++n] = held "\n" $0; split($0, f, "packets tunnelled "); count[n] = f[2] + 0; held = ""; next }
    { rest[++m] = $0 }
    END {
      for (i = 1; i <= n; i++) if (count[i] > count[best] || !best) best = i
      print rest[1]; print rest[2]
      if (best && count[best] > 0) print entries[best]; else print "no entry of the address table carried the traffic"
      for (i = 3; i <= m; i++) print rest[i]
    }'
  echo "status.json: $(cat "$work/inst/status.json")"

  step "NetworkManager after command 28: the gateway's suffixes, the old lists in the baseline file"
  show_searches
  echo "  $baseline: $(cat "$baseline")"

  step "disconnect by the owner"
  seen=$(($(wc -l <"$work/user.log") + 1))
  cli_say user "disconnect demo finished"
  wait_for "$work/user.log" "^reply code=6 " 10 || die "no answer to the disconnect"
  show_replies "$seen"
  echo "status.json: $(cat "$work/inst/status.json")"
  step "NetworkManager after the disconnect: the old lists are back, the baseline file is gone"
  for _ in $(seq 50); do [ -e "$baseline" ] || break; sleep 0.1; done
  show_searches
  [ ! -e "$baseline" ] || die "the DNS suffixes were not restored"
  echo "  $baseline: removed"

  step "stop solvarind with SIGTERM"
  kill -TERM "$DAEMON_PID"
  status=0
  wait "$DAEMON_PID" || status=$?
  wait_for "$work/user.log" "^push code=45 " 5 || die "the client heard nothing of the stop"
  grep -A1 "^push code=45 " "$work/user.log"
  echo "solvarind exited with status $status"
  cli_stop user
  unset 'CLI_PID[user]'

  step "test network removed"
}

if [ "$(id -u)" -eq 0 ]; then
  (demo)
else
  echo "the VPN demo needs root (network namespaces): skipped"
fi

run() {
  local prog=$build/bench/$1/$1
  if [ -x "$prog" ]; then
    step "$1"
    "$prog"
  fi
}
run crypto_bench
run codec_bench
if [ "$(id -u)" -eq 0 ]; then
  run hostpath_bench
  run tunnel_bench
  run ipc_stall_bench
else
  echo "hostpath_bench, tunnel_bench and ipc_stall_bench need root (network namespaces): skipped"
fi
