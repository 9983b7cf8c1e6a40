#!/bin/bash
# The test network in namespaces, all named after PREFIX so that runs do not
# collide (documentation address ranges only; nothing outside the namespaces
# is touched):
#
#   PREFIXcli:  tap0 203.0.113.2/24 (stack side) --zornfhost-- wire0 (no address)
#                                                               | veth
#   PREFIXgw:   gw0 203.0.113.1/24, forwarding to gwcorp0 198.51.100.1/24
#                                                               | veth
#   PREFIXcorp: corp0 198.51.100.10/24
#
# The client routes 198.51.100.0/24 through tap0 via 203.0.113.1.
#
#   testnet.sh up PREFIX          build the network
#   testnet.sh down PREFIX        remove it (also a half-built one)
#   testnet.sh host PREFIX [ARG]  run zornfhost on tap0:wire0 in PREFIXcli
#                                 (foreground; extra arguments are passed on)
#   testnet.sh tunnel PREFIX      once the gateway simulator's TUN device gwtun0
#                                 exists in PREFIXgw: the corporate host's answers
#                                 go into it, and what comes from the uplink in
#                                 clear is refused the corporate network, so that
#                                 only the tunnel reaches it (repeatable)
#   testnet.sh plain-up PREFIX    a plain veth pair for comparison:
#                                 PREFIXpa veth0 192.0.2.1/24 -- PREFIXpb veth0 192.0.2.2/24
set -euo pipefail

cmd=${1:?usage: testnet.sh up|down|host|tunnel|plain-up PREFIX}
p=${2:?a namespace name prefix is needed}
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${p}cli gw=${p}gw corp=${p}corp

up() {
  ip netns add "$cli"
  ip netns add "$gw"
  ip netns add "$corp"
  for ns in "$cli" "$gw" "$corp"; do ip -n "$ns" link set lo up; done

  ip -n "$cli" link add wire0 type veth peer name gw0 netns "$gw"
  ip netns exec "$cli" sysctl -qw net.ipv6.conf.wire0.disable_ipv6=1
  ip -n "$cli" link set wire0 up
  ip -n "$cli" tuntap add dev tap0 mode tap vnet_hdr
  ip -n "$cli" addr add 203.0.113.2/24 dev tap0
  ip -n "$cli" link set tap0 up
  ip -n "$cli" route add 198.51.100.0/24 via 203.0.113.1 dev tap0

  ip -n "$gw" addr add 203.0.113.1/24 dev gw0
  # As on a wire, the gateway's UDP segmentation sends reach the client cut
  # into datagrams.
  ip netns exec "$gw" ethtool -K gw0 tx-udp-segmentation off >/dev/null
  # The client's frames reach the gateway through the veth's receive ring
  # (GRO on; UDP GRO forwarding makes the frames of zornfhost's packet
  # socket go that way too): one ring, filled in the order the frames were
  # sent whichever CPU sent them, as a wire delivers them. Without it the
  # veth queues each CPU's frames apart, and those zornfhost's workers send
  # reach the gateway simulator reordered.
  ip netns exec "$gw" ethtool -K gw0 gro on rx-udp-gro-forwarding on >/dev/null
  ip -n "$gw" link set gw0 up
  ip -n "$gw" link add gwcorp0 type veth peer name corp0 netns "$corp"
  ip -n "$gw" addr add 198.51.100.1/24 dev gwcorp0
  ip -n "$gw" link set gwcorp0 up
  ip netns exec "$gw" sysctl -qw net.ipv4.ip_forward=1

  ip -n "$corp" addr add 198.51.100.10/24 dev corp0
  ip -n "$corp" link set corp0 up
  ip -n "$corp" route add default via 198.51.100.1
  in_order gwcorp0 "$gw"
  in_order corp0 "$corp"
}

# A veth queues the packets sent from each CPU apart, and the CPUs take
# their queues in turn: one flow sent from several CPUs (a TCP sender's
# application and its ACK handling) arrives reordered, and the sender's
# spurious retransmits count as retransmits of whatever path is measured.
# On the corporate side each flow received is steered to one CPU, so that,
# as on a wire, it arrives in the order it was sent. Not so between the
# client and the gateway (see gw0 above): there the tunnel is one UDP flow
# sent in bursts of many datagrams, more than one CPU's backlog (1000
# packets) holds when all of them go to it.
in_order() {  # device namespace
  local cpus
  cpus=$(nproc)
  [ "$cpus" -le 32 ] || cpus=32
  ip netns exec "$2" sh -c "printf %x $(((1 << cpus) - 1)) >/sys/class/net/$1/queues/rx-0/rps_cpus"
}

# A policy rule of the gateway namespace, added once.
gateway_rule() {  # selector and action
  ip -n "$gw" rule del "$@" 2>/dev/null || true
  ip -n "$gw" rule add "$@"
}

tunnel() {
  ip -n "$gw" link set gwtun0 up
  ip netns exec "$gw" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.gwtun0.rp_filter=0
  ip -n "$gw" route replace default dev gwtun0 table 87
  gateway_rule iif gwcorp0 table 87
  gateway_rule iif gw0 to 198.51.100.0/24 prohibit
}

plain_up() {
  ip netns add "${p}pa"
  ip netns add "${p}pb"
  ip -n "${p}pa" link add veth0 type veth peer name veth0 netns "${p}pb"
  ip -n "${p}pa" addr add 192.0.2.1/24 dev veth0
  ip -n "${p}pb" addr add 192.0.2.2/24 dev veth0
  for ns in "${p}pa" "${p}pb"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set veth0 up
  done
}

down() {
  for ns in "$cli" "$gw" "$corp" "${p}pa" "${p}pb"; do
    if ip netns pids "$ns" >/dev/null 2>&1; then
      for pid in $(ip netns pids "$ns"); do kill "$pid" 2>/dev/null || true; done
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
}

case $cmd in
  up) up ;;
  down) down ;;
  plain-up) plain_up ;;
  tunnel) tunnel ;;
  host)
    shift 2
    exec ip netns exec "$cli" "${ZORNFHOST:-$root/build/host/zornfhost}" --adapter tap0:wire0 "$@"
    ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
