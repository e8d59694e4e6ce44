#!/usr/bin/env bash
# Installs what building orvexp needs (nothing for the tests), builds the library and
# orvexp in release mode (the `demo` preset, build/demo) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" --target orvexp
./build/demo/tools/orvexp/orvexp demo
