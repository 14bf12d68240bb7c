#!/bin/sh
# Failover gaps of a relay pair behind keepalived: the pair test's
# namespaces (tests/RelayPairTest.cpp: a feed at 20,000 datagrams/s, two
# nodes each with its relay and keepalived from the shipped example, a
# receiver), ROUNDS failovers per case, each from the node that is active
# then. Prints per case the median and the worst longest silence at the
# receiver, and the datagrams received twice. Run as root on a quiet machine; the load is printed with the
# figures.
#
#   bench/failover.sh [BUILD-DIR] [ROUNDS]     (build-bench, 20)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-bench}
rounds=${2:-20}
if [ ! -x "$build/tests/relay_pair_test" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_BUILD_TESTS=ON -DORMA_BUILD_CONSOLE=OFF >/dev/null
  cmake --build "$build" -j2 --target relay_pair_test orma-relay >/dev/null
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
ORMA_PAIR_ROUNDS=$rounds ORMA_PAIR_REPORT=$report "$build/tests/relay_pair_test" >/dev/null 2>&1 || echo "(some case failed its test)"
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-20s %9s %10s %9s %10s\n' case failovers median-ms worst-ms duplicates
for name in $(awk '$1 == "silence" && !seen[$2]++ { print $2 }' "$report"); do
  # A failback's duplicates are counted with the case that made it.
  twice=$(awk -v name="$name" '$1 == "twice" && $2 == name { n += $3 } END { print n + 0 }' "$report")
  awk -v name="$name" '$1 == "silence" && $2 == name { print $3 }' "$report" | sort -n |
    awk -v name="$name" -v twice="$twice" '{ v[NR] = $1 }
      END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
            printf "%-20s %9d %10s %9d %10d\n", name, NR, m, v[NR], twice }'
done
