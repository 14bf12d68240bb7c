#!/bin/bash
# NMKT through real sockets: full new-format depth messages (42 records
# each, so 21 old-format datagrams out per message) fed at rising rates to
# orma-relay inside network namespaces made here (addresses from
# 198.18.0.0/15, removed on exit). For each rate it reports what the relay
# converted, sent and lost; a rate passes when every message was converted,
# every datagram accepted by the kernel and nothing dropped. Run as root:
#
#   bench/nmkt-sockets.sh [RATES]          messages/s, default "1000 2000 5000 10000 20000"
#
# ORMA_RELAY_BEFORE may name another orma-relay to measure beside ours.
set -eu -o pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
rates=${1:-"1000 2000 5000 10000 20000"}
seconds=2

"$top/scripts/install-deps.sh" bench
"$top/scripts/build.sh" "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DORMA_BUILD_TESTS=OFF \
  -DORMA_BUILD_CONSOLE=OFF >/dev/null
tools="$top/build-bench/tools"

feed=ormanb$$f relay=ormanb$$r sink=ormanb$$s
# shellcheck source=bench/three-namespaces.sh
. "$top/bench/three-namespaces.sh"
trap 'remove_three_namespaces $feed $relay $sink' EXIT INT TERM
make_three_namespaces $feed $relay $sink

row="1,QB,239.1.1.1,10000,UDP,MULTICAST,239.2.2.2,10001,UDP,MULTICAST,N,Y,"
tokens=$(seq -s, 1001 1042)
relays="ours=$tools/orma-relay"
[ -n "${ORMA_RELAY_BEFORE:-}" ] && relays="$relays before=$ORMA_RELAY_BEFORE"
log=$(mktemp)

printf '| relay | messages/s fed | converted | datagrams sent | dropped | depth records/s | result |\n|---|---|---|---|---|---|---|\n'
for rate in $rates; do
  count=$((rate * seconds))
  for entry in $relays; do
    name=${entry%%=*} binary=${entry#*=}
    ip netns exec $relay taskset -c 1 "$binary" --host-ip 198.18.0.2 --zenta-ip 198.18.1.1 \
      --seconds $((seconds + 3)) "$row" >"$log" 2>&1 &
    pid=$!
    sleep 1
    ip netns exec $feed taskset -c 0 "$tools/orma-feed" --group 239.1.1.1 --port 10000 --interface 198.18.0.1 \
      --tokens "$tokens" --messages depth --records 42 --rate "$rate" --count "$count" \
      --seconds $((seconds + 1)) >/dev/null
    wait $pid
    last=$(grep 'Config ID 1 ' "$log" | tail -n 1)
    converted=$(sed -E 's/.*Pkts Recv: ([0-9]+).*/\1/' <<<"$last")
    sent=$(sed -E 's/.*Pkts Sent: ([0-9]+).*/\1/' <<<"$last")
    dropped=$(sed -E 's/.*Dropped: ([0-9]+).*/\1/' <<<"$last")
    [ "$dropped" = "$last" ] && dropped="-"  # a relay that does not report drops
    result=lost
    [ "$converted" = "$count" ] && [ "$sent" = $((count * 21)) ] && result=pass
    printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$rate" "$converted" "$sent" "$dropped" \
      $((rate * 42)) "$result"
  done
done
rm -f "$log"
