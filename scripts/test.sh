#!/usr/bin/env bash
# Installs what is needed, builds the debug preset, builds the API reference (the `docs`
# target: any Doxygen warning, such as an undocumented public member, fails it) and runs
# the whole test suite.
# Usage: bash scripts/test.sh [preset]   (debug by default; also asan, tsan, release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-debug}"
bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
cmake --build --preset "$preset" --target docs
# About half of the debug suite's time is spent waiting (back-off timers, slow servers,
# child processes and their disks), so it runs two tests per core; under the sanitizers
# every test costs several times the CPU, one per core.
jobs=$(($(nproc) * 2))
case "$preset" in asan | tsan) jobs=$(nproc) ;; esac
ctest --preset "$preset" -j "$jobs"
