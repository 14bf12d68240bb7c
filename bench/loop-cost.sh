#!/bin/sh
# What one relayed datagram costs the relay loop: user-space instructions
# (callgrind, counted only inside the relay loop, repeatable on any x86-64
# machine) and relay system calls (strace). Run as root:
#
#   bench/loop-cost.sh [--nmkt] [DATAGRAMS] [BURST]   (20000 datagrams in bursts of 32)
#
# With --nmkt each datagram fed is a full 42-record depth message, which
# the relay sends on as 21 old-format datagrams.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
mode=""
if [ "${1:-}" = "--nmkt" ]; then mode=--nmkt; shift; fi
datagrams=${1:-20000}
burst=${2:-32}
"$top/scripts/install-deps.sh" bench
"$top/scripts/build.sh" "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DORMA_BUILD_TESTS=OFF \
  -DORMA_BUILD_CONSOLE=OFF -DORMA_BUILD_BENCH=ON >/dev/null
program="$top/build-bench/bench/relay_loop_cost"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" \
  --toggle-collect='CKOVBCastEngine::RelayLoop()' "$program" $mode "$datagrams" "$burst" >/dev/null 2>&1
instructions=$(callgrind_annotate "$scratch/callgrind.out" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')

strace -f -qq -c -e trace=recvmsg,recvmmsg,sendto,sendmmsg -o "$scratch/strace.txt" \
  "$program" $mode "$datagrams" "$burst" >/dev/null
calls=$(awk '$NF ~ /^(recvmsg|recvmmsg|sendto|sendmmsg)$/ { sum += $4 } END { print sum }' "$scratch/strace.txt")

echo "datagrams fed: $datagrams ${mode:+(full depth messages) }in bursts of $burst"
echo "relay loop instructions: $instructions ($(awk -v i="$instructions" -v d="$datagrams" 'BEGIN { printf "%.1f", i / d }') per datagram)"
echo "relay system calls: $calls ($(awk -v c="$calls" -v d="$datagrams" 'BEGIN { printf "%.3f", c / d }') per datagram)"
cat "$scratch/strace.txt"
