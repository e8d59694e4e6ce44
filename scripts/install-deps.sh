#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs, only those missing.
# Usage: bash scripts/install-deps.sh [demo]
#   demo:    building the library and orvexp (the demo's release build): compiler, CMake,
#            Ninja and the libraries the library links;
#   default: everything else too: tests (GoogleTest, Python with SciPy and pytest,
#            Chromium for the report page), sanitizer and fuzzer runtimes (clang),
#            benchmarks, the Debian package and the API reference (doxygen).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libsimdjson-dev libcurl4-openssl-dev libsqlite3-dev libssl-dev zlib1g-dev
  libcpp-httplib-dev libcli11-dev
)
if [ "${1:-}" != demo ]; then
  packages+=(
    clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-scipy python3-pytest chromium openssl procps e2fsprogs dpkg-dev doxygen
  )
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
