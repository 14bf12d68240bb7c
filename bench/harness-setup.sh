# shellcheck shell=sh
# Sourced by the benchmarks that drive the shared harness, after they set
# `top`: finds the harness (ORMA_BENCH_HARNESS, default ../shared/bench),
# installs and builds the Release relay, and sets `harness`, `relay` and
# `row` (one pass-through row in the harness's placeholders).
harness=${ORMA_BENCH_HARNESS:-$top/../shared/bench}
[ -x "$harness/run.sh" ] || { echo "$(basename "$0"): no harness at $harness" >&2; exit 2; }
"$top/scripts/install-deps.sh" bench
"$top/scripts/build.sh" "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DORMA_BUILD_TESTS=OFF -DORMA_BUILD_CONSOLE=OFF
# shellcheck disable=SC2034 # used by the sourcing script
relay="$top/build-bench/tools/orma-relay"
# shellcheck disable=SC2034
row="1,QA,{RG},{RP},UDP,MULTICAST,{SG},{SP},UDP,MULTICAST,N,N,"

# The reference relays ask for a 1 MiB receive buffer without forcing it:
# the same buffer as ours (which forces it) needs rmem_max above it. The
# caller restores it on exit.
rmem_before=$(cat /proc/sys/net/core/rmem_max)
raise_receive_buffer() { sysctl -qw net.core.rmem_max=4194304; }
restore_receive_buffer() { sysctl -qw net.core.rmem_max="$rmem_before"; }
