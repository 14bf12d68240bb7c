#!/bin/bash
# What many rows cost: 1, 20 and 200 rows relayed at the same total rate,
# spread evenly, by one orma-relay process and by as many batch_relay
# processes (the shared harness's reference). For each it reports loss, CPU
# per datagram, threads, memory and context switches per second while the
# load runs. Namespaces and veth pairs are made here (addresses from
# 198.18.0.0/15) and removed on exit. Run as root:
#
#   bench/many-rows.sh [TOTAL_RATES] [ROW_COUNTS]    default "100000 200000" and "1 20 200"
#
# The relays get CPU 1; the sender and the receiver share CPU 0.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
harness=${ORMA_BENCH_HARNESS:-$top/../shared/bench}
rates=${1:-"100000 200000"}
row_counts=${2:-"1 20 200"}
seconds=5

"$top/scripts/install-deps.sh" bench
"$top/scripts/build.sh" "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DORMA_BUILD_TESTS=OFF \
  -DORMA_BUILD_CONSOLE=OFF -DORMA_BUILD_BENCH=ON >/dev/null
relay="$top/build-bench/tools/orma-relay"
load="$top/build-bench/bench/orma-bench-rows-load"
batch="$top/build-bench/harness/batch_relay"
mkdir -p "$(dirname "$batch")"
cc -O2 -Wall -o "$batch" "$harness/batch_relay.c"

feed=ormamr$$f middle=ormamr$$r sink=ormamr$$s
work=$(mktemp -d)
cleanup() {
  [ -s "$work/group" ] && pkill -KILL -g "$(cat "$work/group")" 2>/dev/null || true
  remove_three_namespaces $feed $middle $sink
  rm -rf "$work"
}
# shellcheck source=bench/three-namespaces.sh
. "$top/bench/three-namespaces.sh"
trap cleanup EXIT INT TERM
make_three_namespaces $feed $middle $sink

# Sums over every process of a session: CPU ticks, context switches, threads, RSS and PSS (kB).
session_figures() {
  local sid=$1 pid ticks=0 switches=0 threads=0 rss=0 pss=0
  # The relays only: not the shell that started batch_relay's processes.
  for pid in $(ps -s "$sid" -o pid=,comm= 2>/dev/null | awk '$2 != "bash" { print $1 }'); do
    [ -r /proc/$pid/stat ] || continue
    ticks=$((ticks + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' /proc/$pid/stat)))
    switches=$((switches + $(cat /proc/$pid/task/*/status 2>/dev/null |
      awk '/ctxt_switches/ { n += $2 } END { print n + 0 }')))
    threads=$((threads + $(awk '/^Threads/ { print $2 }' /proc/$pid/status)))
    rss=$((rss + $(awk '/^VmRSS/ { print $2 }' /proc/$pid/status)))
    pss=$((pss + $(awk '/^Pss:/ { print $2 }' /proc/$pid/smaps_rollup 2>/dev/null || echo 0)))
  done
  echo "$ticks $switches $threads $rss $pss"
}

# The group of row i: 239.1.0.(i+1) in, 239.2.0.(i+1) out.
start_relays() {  # start_relays NAME ROWS: all in one new session, pinned to CPU 1
  local name=$1 rows=$2 i arguments=""
  if [ "$name" = ours ]; then
    for ((i = 1; i <= rows; i++)); do
      arguments="$arguments $i,QA,239.1.0.$i,10000,UDP,MULTICAST,239.2.0.$i,10001,UDP,MULTICAST,N,N,"
    done
    # shellcheck disable=SC2086
    (cd "$work" && exec setsid ip netns exec $middle taskset -c 1 "$relay" --quiet --host-ip 198.18.0.2 \
      --zenta-ip 198.18.1.1 $arguments >"$work/relay.log" 2>&1) &
  else
    local script="$work/batch.sh"
    echo "#!/bin/bash" >"$script"
    for ((i = 1; i <= rows; i++)); do
      echo "$batch 239.1.0.$i 10000 198.18.0.2 239.2.0.$i 10001 198.18.1.1 &" >>"$script"
    done
    echo "wait" >>"$script"
    setsid ip netns exec $middle taskset -c 1 bash "$script" >"$work/relay.log" 2>&1 &
  fi
  echo $! >"$work/group"
  sleep $((1 + rows / 50))  # every row joined
}

stop_relays() {
  pkill -TERM -g "$(cat "$work/group")" 2>/dev/null || true
  sleep 0.5
  pkill -KILL -g "$(cat "$work/group")" 2>/dev/null || true
  rm -f "$work/group"
}

hz=$(getconf CLK_TCK)
printf '| total rate | rows | relay | sent/s | lost | lost %% | CPU us/dgram | threads | RSS MiB | PSS MiB | context switches/s |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
for rate in $rates; do
  for rows in $row_counts; do
    for name in ours batch_relay; do
      start_relays "$name" "$rows"
      sid=$(cat "$work/group")
      ip netns exec $sink taskset -c 0 "$load" recv --rows "$rows" --group-base 239.2.0.0 --port 10001 \
        --iface 198.18.1.2 --seconds $((seconds + 5)) >"$work/recv.out" &
      receiver=$!
      sleep 0.5
      read -r ticks0 switches0 _ <<<"$(session_figures "$sid")"
      ip netns exec $feed taskset -c 0 "$load" send --rows "$rows" --group-base 239.1.0.0 --port 10000 \
        --iface 198.18.0.1 --rate "$rate" --seconds $seconds >"$work/send.out"
      read -r ticks1 switches1 threads rss pss <<<"$(session_figures "$sid")"
      wait $receiver
      stop_relays
      sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' "$work/send.out")
      took=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' "$work/send.out")
      achieved=$(sed -E 's/.*rate=([0-9]+).*/\1/' "$work/send.out")
      received=$(sed -E 's/.*received=([0-9]+).*/\1/' "$work/recv.out")
      awk -v rate="$rate" -v rows="$rows" -v name="$name" -v sent="$sent" -v got="$received" -v took="$took" \
        -v achieved="$achieved" -v ticks=$((ticks1 - ticks0)) -v hz="$hz" -v sw=$((switches1 - switches0)) -v threads="$threads" \
        -v rss="$rss" -v pss="$pss" 'BEGIN {
          lost = sent - got
          printf "| %d | %d | %s | %d | %d | %.2f | %.2f | %d | %.1f | %.1f | %.0f |\n", rate, rows, name, achieved, lost,
            100 * lost / sent, ticks / hz * 1e6 / (got > 0 ? got : 1), threads, rss / 1024, pss / 1024, sw / took }'
    done
  done
done
