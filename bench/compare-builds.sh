#!/usr/bin/env bash
# Compares the benchmark binaries of two or more builds on this machine: runs them in turn for
# three rounds and prints, per benchmark, each binary's best real-time factor. Taking turns evens
# out what other load on the machine does to each; the best repetition is the least disturbed.
#   bench/compare-builds.sh FILTER BIN...
#   bench/compare-builds.sh 'BM_Compute/.*/rate:48000/block:512' /tmp/before/orvex_bench build/bench/orvex_bench
# Copy a build's bench/orvex_bench elsewhere before rebuilding it for the other side.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 FILTER BENCH_BINARY..." >&2
  exit 2
fi
filter=$1
shift
for bin in "$@"; do
  [ -x "$bin" ] || { echo "$0: not an executable: $bin" >&2; exit 2; }
done
for round in 1 2 3; do
  for bin in "$@"; do
    "$bin" --benchmark_filter="$filter" --benchmark_min_time=0.1 --benchmark_repetitions=7 \
      --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
      awk -F, -v bin="$bin" -v round="$round" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == "\"realtime_factor\"" || $i == "realtime_factor") col = i; next }
        $1 ~ /_max"?$/ { name = $1; gsub(/"/, "", name); sub(/_max$/, "", name); print name "\t" bin "\t" $col }'
  done
done | sort -t$'\t' -k1,1 -k2,2 -k3,3gr | awk -F'\t' '
  { key = $1 "\t" $2; if (!(key in best)) { best[key] = $3; order[++n] = key } }
  END { for (i = 1; i <= n; i++) { split(order[i], k, "\t"); printf "%-50s %8.1f  %s\n", k[1], best[order[i]], k[2] } }'
