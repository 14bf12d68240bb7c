#!/bin/sh
# Measures orma-relay with the shared relay harness, beside the reference
# relays and socat, in one run and on one topology. Run as root:
#
#   bench/relay-bench.sh [harness options]       e.g. --reps 3, --quick
#
# ORMA_BENCH_HARNESS names the harness folder (default: ../shared/bench
# beside this repository). ORMA_RELAY_BEFORE may name another orma-relay
# binary (an earlier build) to measure as "before" in the same run.
# ORMA_BENCH_PRESETS lists the harness's own relays (default "naive batch
# socat"; add "none" for the harness's ceiling). "ours-poll" is orma-relay
# polling on ORMA_POLL_CPU (default 1, the harness's relay CPU).
# ORMA_BENCH_CAPTURE=1 adds "ours-capture": orma-relay with its row captured
# to the results' capture/ folder (at most 1 GiB), to set beside "ours".
# Results go to bench/out/<time>/summary.md.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/harness-setup.sh
. "$top/bench/harness-setup.sh"

out="$top/bench/out/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
ours="ours=$relay --quiet --host-ip {HI} --zenta-ip {ZI} $row"
polling="ours-poll=$relay --quiet --poll --poll-cpus ${ORMA_POLL_CPU:-1} --host-ip {HI} --zenta-ip {ZI} $row"
# shellcheck disable=SC2086
set -- "$@" ${ORMA_BENCH_PRESETS:-naive batch socat} "$ours" "$polling"
if [ "${ORMA_BENCH_CAPTURE:-0}" = 1 ]; then
  mkdir -p "$out/capture"
  captured="1,QA,{RG},{RP},UDP,MULTICAST,{SG},{SP},UDP,MULTICAST,Y,N,"
  set -- "$@" "ours-capture=$relay --quiet --capture-dir $out/capture --capture-total-mb 1024 --host-ip {HI} --zenta-ip {ZI} $captured"
fi
if [ -n "${ORMA_RELAY_BEFORE:-}" ]; then
  set -- "$@" "before=$ORMA_RELAY_BEFORE --host-ip {HI} --zenta-ip {ZI} $row"
fi

trap restore_receive_buffer EXIT
raise_receive_buffer

# The relays run in the folder the harness starts from: keep their event logs with the results.
cd "$out"
BENCH_BUILD="$top/build-bench/harness" "$harness/run.sh" --out "$out" "$@"
echo "results: $out/summary.md"
