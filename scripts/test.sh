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
ctest --preset "$preset" -j "$(nproc)"
