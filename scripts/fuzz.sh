#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each on its seed corpus.
# Usage: bash scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
artifacts="build/fuzz/artifacts"
mkdir -p "$artifacts"
for target in payload response cache serve; do
  # New inputs go to a scratch directory; the corpus in the repository stays as it is.
  scratch="$(mktemp -d)"
  echo "fuzz_${target}: ${seconds} s"
  status=0
  build/fuzz/fuzz/fuzz_${target} "$scratch" "fuzz/corpus/${target}" -max_total_time="$seconds" \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$artifacts/" >"$scratch.log" 2>&1 || status=$?
  grep -E "stat::number_of_executed_units|ERROR|SUMMARY|Test unit written" "$scratch.log" || true
  if [ "$status" -ne 0 ]; then
    tail -50 "$scratch.log" >&2
    echo "fuzz_${target} found a problem (exit $status); the input is in $artifacts" >&2
    exit 1
  fi
  rm -rf "$scratch" "$scratch.log"
done
