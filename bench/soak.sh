#!/bin/sh
# A long run of orma-relay under a steady load, for what only time shows:
# loss, drops, memory, descriptors and threads. Not part of the tests.
#
#   bench/soak.sh [ROWS] [RATE] [MINUTES]     (2 rows, 25000 datagrams/s each, 10 minutes)
#
# The test network of scripts/test-network.sh (three namespaces of its own
# joined by veth pairs, addresses from 198.18.0.0/15), removed at the end. Row k relays
# 239.77.1.k:41000+k to 239.77.2.k:42000+k; orma-feed sends to it from the
# feed side, orma-monitor counts on the sink side. Every 30 s a line gives
# the relay's resident memory, descriptors and threads, its own drop count
# and the kernel's (UdpRcvbufErrors in the relay's namespace); at the end,
# per row, what was sent, relayed and received. Run as root.
set -eu
rows=${1:-2}
rate=${2:-25000}
minutes=${3:-10}
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" build
"$top/scripts/build.sh" "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DORMA_BUILD_TESTS=OFF \
  -DORMA_BUILD_CONSOLE=OFF >/dev/null
bin="$top/build-bench/tools"
seconds=$((minutes * 60))
count=$((rate * seconds))

. "$top/scripts/test-network.sh"
ns=orsoak$$
work=$(mktemp -d)
cleanup() {
  for pid in $(cat "$work"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  remove_test_network "$ns"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
make_test_network "$ns"

relay_rows=""
for k in $(seq 1 "$rows"); do
  relay_rows="$relay_rows $k,QA,239.77.1.$k,$((41000 + k)),UDP,MULTICAST,239.77.2.$k,$((42000 + k)),UDP,MULTICAST,N,N,"
done
(cd "$work" && exec ip netns exec "${ns}r" "$bin/orma-relay" --host-ip 198.18.0.2 --zenta-ip 198.18.1.1 \
  --seconds $((seconds + 20)) $relay_rows >relay.out 2>relay.err) &
echo $! >"$work/relay.pid"
sleep 1
relay=$(pgrep -n -f "orma-relay --host-ip 198.18.0.2 --zenta-ip 198.18.1.1 --seconds $((seconds + 20))")

for k in $(seq 1 "$rows"); do
  ip netns exec "${ns}s" "$bin/orma-monitor" --group "239.77.2.$k" --port $((42000 + k)) --interface 198.18.1.2 \
    --quiet --seconds $((seconds + 15)) >"$work/monitor$k.out" 2>&1 &
  echo $! >"$work/monitor$k.pid"
done
sleep 1
for k in $(seq 1 "$rows"); do
  ip netns exec "${ns}f" "$bin/orma-feed" --group "239.77.1.$k" --port $((41000 + k)) --interface 198.18.0.1 \
    --messages depth --tokens "$k" --rate "$rate" --count "$count" --seconds $((seconds + 5)) \
    >"$work/feed$k.out" 2>&1 &
  echo $! >"$work/feed$k.pid"
done

kernel_drops() { ip netns exec "${ns}r" awk '/^Udp:/ { if (n++) print $6 }' /proc/net/snmp; }
relay_drops() { tail -n "$rows" "$work/relay.out" | awk '{ for (i = 1; i < NF; i++) if ($i == "Dropped:") sum += $(i + 1) } END { print sum + 0 }'; }
echo "rows $rows, $rate datagrams/s each, $minutes min; relay pid $relay"
printf '%6s %10s %6s %8s %12s %12s\n' seconds rss_kB fds threads relay_drops kernel_drops
elapsed=0
while [ "$elapsed" -le "$seconds" ]; do
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$relay/status")
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$relay/status")
  fds=$(ls "/proc/$relay/fd" | wc -l)
  printf '%6d %10s %6s %8s %12s %12s\n' "$elapsed" "$rss" "$fds" "$threads" "$(relay_drops)" "$(kernel_drops)"
  [ "$elapsed" -eq "$seconds" ] && break
  step=$((seconds - elapsed < 30 ? seconds - elapsed : 30))
  sleep "$step"
  elapsed=$((elapsed + step))
done

for k in $(seq 1 "$rows"); do wait "$(cat "$work/feed$k.pid")" || true; done
for k in $(seq 1 "$rows"); do wait "$(cat "$work/monitor$k.pid")" || true; done
kill -TERM "$relay"
wait "$(cat "$work/relay.pid")" || true
echo
printf '%4s %12s %12s %12s %12s %8s\n' row sent relayed received lost loss
for k in $(seq 1 "$rows"); do
  sent=$(awk '/orma-feed: sent/ { print $3 }' "$work/feed$k.out")
  relayed=$(grep "^Config ID $k " "$work/relay.out" | tail -n 1 | awk '{ for (i = 1; i < NF; i++) if ($i == "Sent:") print $(i + 1) }')
  received=$(awk '/orma-monitor: [0-9]+ datagrams/ { n = $2 } END { print n + 0 }' "$work/monitor$k.out")
  awk -v k="$k" -v s="${sent:-0}" -v r="${relayed:-0}" -v d="$received" \
    'BEGIN { printf "%4d %12d %12d %12d %12d %7.4f%%\n", k, s, r, d, s - d, s ? 100 * (s - d) / s : 0 }'
done
