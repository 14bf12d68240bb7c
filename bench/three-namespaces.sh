# shellcheck shell=bash
# Sourced by the benchmarks that build their own topology: three network
# namespaces joined by two veth pairs, as the shared harness lays them out.
#
#   feed 198.18.0.1 (feed0) == (host0) 198.18.0.2  relay  198.18.1.1 (zenta0) == (sink0) 198.18.1.2 sink
#
# make_three_namespaces FEED RELAY SINK; remove_three_namespaces FEED RELAY SINK.
make_three_namespaces() {
  local feed=$1 relay=$2 sink=$3 ns pair
  for ns in "$feed" "$relay" "$sink"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv6.conf.all.disable_ipv6=1 \
      net.ipv4.igmp_max_memberships=256
  done
  ip link add feed0 netns "$feed" type veth peer name host0 netns "$relay"
  ip link add zenta0 netns "$relay" type veth peer name sink0 netns "$sink"
  ip -n "$feed" addr add 198.18.0.1/24 dev feed0
  ip -n "$relay" addr add 198.18.0.2/24 dev host0
  ip -n "$relay" addr add 198.18.1.1/24 dev zenta0
  ip -n "$sink" addr add 198.18.1.2/24 dev sink0
  for pair in "$feed:feed0" "$relay:host0" "$relay:zenta0" "$sink:sink0"; do
    ip -n "${pair%%:*}" link set "${pair#*:}" up
  done
  sleep 1.5  # new veth links drop traffic until the kernel's link watch marks them up
}

remove_three_namespaces() {
  local ns
  for ns in "$@"; do ip netns del "$ns" 2>/dev/null || true; done
}
