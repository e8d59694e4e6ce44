#!/usr/bin/env bash
# Interoperability: the OpenTelemetry JavaScript OTLP/HTTP logs exporter (from the npm
# registry, installed into WORK, outside the repository) sends records to
# `orvexp serve --events`, and each arrives exactly once in the collector's store (as
# `orvexp events export` prints it).
# Usage: otlp_js_interop.sh ORVEXP WORK
set -euo pipefail
orvexp="$1"
work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$work/npm" "$work/payloads"
if [ ! -d "$work/npm/node_modules/@opentelemetry/exporter-logs-otlp-http" ]; then
  (cd "$work/npm" && npm install --no-audit --no-fund --loglevel=error \
    @opentelemetry/exporter-logs-otlp-http@0.301.2 @opentelemetry/sdk-logs@3.1.1)
fi
store="$work/events.sqlite3"
events="$work/events.jsonl"
rm -f "$store" "$store-wal" "$store-shm" "$events" "$work/serve.out"
"$orvexp" serve --dir "$work/payloads" --port 0 --events "$store" >"$work/serve.out" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 1 600); do  # up to 30 s: serve prints its address once it listens
  grep -q 'http://' "$work/serve.out" 2>/dev/null && break
  sleep 0.05
done
url="$(grep -o 'http://[0-9.:]*' "$work/serve.out" | head -1)"
NODE_PATH="$work/npm/node_modules" node "$here/otlp_emit.js" "$url"
# Sent again: a retrying exporter's duplicates are dropped by eventId.
NODE_PATH="$work/npm/node_modules" node "$here/otlp_emit.js" "$url"
"$orvexp" events export --events "$store" --out "$events"
lines="$(wc -l <"$events")"
for i in 0 1 2; do
  grep -q "\"event_id\":\"interop-$i\"" "$events" || { echo "interop-$i missing"; cat "$events"; exit 1; }
done
grep -q '"app_id":"js-app"' "$events"
grep -q '"name":"zu_experiment_exposure"' "$events"
[ "$lines" -eq 3 ] || { echo "expected 3 lines, got $lines"; cat "$events"; exit 1; }
echo "interop: 3 records from the OpenTelemetry JS exporter arrived exactly once"
