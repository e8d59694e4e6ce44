#!/usr/bin/env bash
# Configures tests/consumer/parent (see there) and checks the compile commands: the
# parent's C++17 application as C++17, the library's own sources as C++20.
# Usage: parent.sh SOURCE_DIR WORK_DIR GENERATOR
set -euo pipefail
src="$1" work="$2" generator="$3"
rm -rf "$work"
cmake -S "$src/tests/consumer/parent" -B "$work" -G "$generator" -DORV_SOURCE_DIR="$src" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
commands="$work/compile_commands.json"
grep -qE -- '-std=(c|gnu)\+\+17 .*tests/consumer/main.cpp' "$commands" || { echo "app not C++17"; exit 1; }
grep -qE -- '-std=(c|gnu)\+\+20 .*src/OrvExperiment.cpp' "$commands" || { echo "library not C++20"; exit 1; }
echo "parent: build type and C++ standard untouched; app C++17, library C++20"
