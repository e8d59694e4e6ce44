#!/usr/bin/env bash
# Interoperability: the OpenFeature JavaScript server SDK with its OFREP provider (from
# the npm registry, installed into WORK, outside the repository, once) reads flags from
# `orvexp serve` (ofrep_eval.js). Exits 77 (skipped) only when the packages are not
# installed and the npm registry cannot be reached.
# Usage: ofrep_js_interop.sh ORVEXP WORK
set -euo pipefail
orvexp="$1"
work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$work/npm"
if [ ! -d "$work/npm/node_modules/@openfeature/ofrep-provider" ]; then
  # Asked first, without retries: an unreachable registry would hold npm install in its
  # retries for minutes.
  if ! (cd "$work/npm" && timeout 60 npm ping --fetch-retries=0 >/dev/null 2>&1); then
    echo "SKIPPED: the npm registry is unreachable (npm ping failed); the OpenFeature packages cannot be installed"
    exit 77
  fi
  (cd "$work/npm" && npm install --no-audit --no-fund --loglevel=error \
    @openfeature/server-sdk@1.23.0 @openfeature/ofrep-provider@0.1.3 \
    @openfeature/ofrep-core@0.1.4) || {
    echo "npm install of the OpenFeature packages failed although the registry answers"
    exit 1
  }
fi
NODE_PATH="$work/npm/node_modules" node "$here/ofrep_eval.js" "$orvexp" "$work" \
  "$here/ofrep-payload.json"
