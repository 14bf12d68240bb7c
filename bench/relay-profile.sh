#!/bin/bash
# Where the relay's CPU goes, beside batch_relay's: each runs alone through
# the shared harness at one rate while `perf record -g` samples the relay's
# CPU, and the samples are put in groups per datagram relayed. Run as root:
#
#   bench/relay-profile.sh [RATE] [SECONDS]       default 20000 pps for 5 s
#
# RATE is held for the latency run and for one search step of SECONDS each.
# ORMA_BENCH_HARNESS names the harness folder (default ../shared/bench).
# ORMA_RELAY_BEFORE may name another orma-relay (an earlier build) to
# profile as "before" in the same run.
# Results go to bench/out/profile-<time>/: profile.md, and per relay the
# perf data, `perf report` by symbol and its call graph.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
rate=${1:-20000}
seconds=${2:-5}
frequency=4999
relay_cpu=1
# shellcheck source=bench/harness-setup.sh
. "$top/bench/harness-setup.sh"

out="$top/bench/out/profile-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"

perf_pid=""
finish() {
  [ -n "$perf_pid" ] && kill -INT "$perf_pid" 2>/dev/null && wait "$perf_pid" || true
  restore_receive_buffer
}
trap finish EXIT
raise_receive_buffer

# Symbol groups, first match wins; the rest is "other kernel".
groups='
system call entry and filter|seccomp|syscall_trace_enter
receive timeout timer|timer|schedule_timeout
sender address copied out|move_addr_to_user|_copy_to_user$|__put_user_8$
route lookup per datagram|ip_route_output|fib_table_lookup|fib_lookup|security_sk_classify_flow|move_addr_to_kernel|ip_mc_validate
iovec import and checks|iovec|import_ubuf|_copy_from_iter|check_object_size|check_heap_object|virt_addr_valid|is_vmalloc_addr
file reference per call|fdget|fget|fput
'

profile() {  # profile NAME RELAY-ARGUMENT COMM
  local name=$1 argument=$2 comm=$3
  # perf on the other CPU; it samples the relay's CPU only.
  taskset -c 0 perf record -q -e cpu-clock -F "$frequency" -g -C "$relay_cpu" -o "$out/perf-$name.data" &
  perf_pid=$!
  (cd "$out" && BENCH_BUILD="$top/build-bench/harness" "$harness/run.sh" --reps 1 --out "$out/$name" \
    --lat-rate "$rate" --lat-s "$seconds" --rates "$rate" --step-s "$seconds" --bisect 0 "$argument") |
    grep -E '^  [a-z]' || true
  kill -INT "$perf_pid"
  wait "$perf_pid" || true
  perf_pid=""
  # Filtered by the comm column: this perf's --comms loses samples.
  perf report -i "$out/perf-$name.data" --no-children --sort comm,dso,sym --stdio -g none -n 2>/dev/null |
    awk -v comm="$comm" -v softirq="ksoftirqd/$relay_cpu" '/%/ && ($3 == comm || $3 == softirq)' \
      >"$out/symbols-$name.txt"
  perf report -i "$out/perf-$name.data" --no-children --sort comm,sym --stdio -g caller,0.5,callee \
    2>/dev/null >"$out/callgraph-$name.txt"
}

relays="batch ours"
profile batch batch batch_relay
profile ours "ours=$relay --quiet --host-ip {HI} --zenta-ip {ZI} $row" orma-relay
if [ -n "${ORMA_RELAY_BEFORE:-}" ]; then
  relays="$relays before"
  # The kernel names a process after its program's first 15 characters.
  profile before "before=$ORMA_RELAY_BEFORE --quiet --host-ip {HI} --zenta-ip {ZI} $row" \
    "$(basename "$ORMA_RELAY_BEFORE" | cut -c1-15)"
fi

# Datagrams relayed while perf sampled: every step's received count.
relayed() { awk -F'\t' 'NR > 1 { n += $7 } END { print n + 0 }' "$out/$1/steps.tsv"; }

{
  echo "# Relay CPU by group, $rate datagrams/s, $(date -u +%Y-%m-%dT%H:%MZ)"
  echo
  echo "Samples of the relay's CPU ($relay_cpu) at $frequency Hz in the relay's threads and"
  echo "its CPU's softirq thread, as microseconds per datagram relayed."
  echo
  echo "| group | ${relays// / | } |"
  echo "|---|---|---|$([ -n "${ORMA_RELAY_BEFORE:-}" ] && echo -n '---|')"
  for name in $relays; do
    awk -v groups="$groups" -v hz="$frequency" -v n="$(relayed "$name")" -v name="$name" '
      BEGIN { count = split(groups, lines, "\n")
              for (i = 1; i <= count; i++) if (lines[i] != "") { split(lines[i], f, "|"); g[++k] = f[1]; p[k] = substr(lines[i], length(f[1]) + 2) }
              g[++k] = "user space"; g[++k] = "other kernel" }
      {
        symbol = $NF; samples = $2; total += samples
        if ($0 ~ /\[\.\]/) { sum["user space"] += samples; next }
        for (i = 1; i <= k - 2; i++) if (symbol ~ p[i]) { sum[g[i]] += samples; next }
        sum["other kernel"] += samples }
      END { for (i = 1; i <= k; i++) printf "%s\t%s\t%.3f\n", name, g[i], sum[g[i]] / hz * 1e6 / n
            printf "%s\t%s\t%.3f\n", name, "total", total / hz * 1e6 / n }' "$out/symbols-$name.txt"
  done | awk -F'\t' -v relays="$relays" '{ v[$2, $1] = $3; if (!seen[$2]++) order[++n] = $2 }
    END { count = split(relays, names, " ")
          for (i = 1; i <= n; i++) { line = "| " order[i]; for (j = 1; j <= count; j++) line = line " | " v[order[i], names[j]]; print line " |" } }'
} >"$out/profile.md"
cat "$out/profile.md"
echo "results: $out"
