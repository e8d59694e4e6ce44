#!/usr/bin/env bash
# Builds the bench preset (release) and runs every benchmark.
# Usage: bash scripts/bench.sh [--short] [benchmark flags...]
#   default: three repetitions of each, medians and spreads reported;
#   --short: each benchmark once with small fixed counts (ORV_BENCH_SHORT=1), under a
#            time limit, so a benchmark that hangs or fails makes the run fail (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
short=0
if [[ "${1:-}" == "--short" ]]; then
  short=1
  shift
fi
bash scripts/install-deps.sh
cmake --preset bench
cmake --build --preset bench -j "$(nproc)" --target orv_benchmarks
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
if ((short)); then
  ORV_BENCH_SHORT=1 timeout 900 build/bench/bench/orv_benchmarks --benchmark_min_time=0.01 "$@" |
    tee "$out"
else
  build/bench/bench/orv_benchmarks --benchmark_repetitions=3 "$@" | tee "$out"
fi
# A benchmark that gave up reports ERROR OCCURRED and still exits 0: fail on it.
if grep -q "ERROR OCCURRED" "$out"; then
  echo "bench.sh: a benchmark failed" >&2
  exit 1
fi
