#!/usr/bin/env bash
# orvexp as a user runs it: every documented exit code of every command, and what the
# commands print (get --json and missing keys, serve's request lines and 404s, parse's
# warnings and errors, demo's order).
# Usage: orvexp.sh ORVEXP SOURCE_DIR WORK_DIR
set -uo pipefail
orvexp="$1" src="$2" work="$3"
rm -rf "$work" && mkdir -p "$work/srv/shop-app"
cp "$src/examples/payload.json" "$work/srv/shop-app/ki_feature.json"
echo '[1]' >"$work/array.json" && echo '{"a":1}' >"$work/one.json"
export XDG_DATA_HOME="$work/xdg"
failures=0
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT

# expect CODE PATTERN... -- COMMAND...: COMMAND exits with CODE and its output (stdout,
# then stderr) matches every PATTERN (bash extended regular expressions).
expect() {
  local code="$1" patterns=() out rc
  shift
  while [ "$1" != -- ]; do patterns+=("$1") && shift; done
  shift
  out="$("$@" 2>"$work/stderr")"
  rc=$?
  [ -s "$work/stderr" ] && out+=$'\n'"$(cat "$work/stderr")"
  local ok=1
  [ "$rc" = "$code" ] || ok=0
  for p in "${patterns[@]}"; do [[ "$out" =~ $p ]] || ok=0; done
  if [ "$ok" = 0 ]; then
    echo "FAILED: exit $rc (want $code), patterns: ${patterns[*]}: $*"
    echo "$out" | head -n 30
    failures=$((failures + 1))
  fi
}
# start VAR COMMAND...: runs COMMAND in the background and sets VAR to the port it prints.
start() {
  local var="$1" line=""
  shift
  "$@" >"$work/$var.out" 2>"$work/$var.err" &
  pids+=($!)
  for _ in $(seq 100); do
    line="$(head -n1 "$work/$var.out" 2>/dev/null)" && [ -n "$line" ] && break
    sleep 0.05
  done
  printf -v "$var" '%s' "${line##*:}"
}

# Usage errors, help, version.
expect 2 'Subcommands:' 'parse' 'serve' 'get' 'demo' 'outbox' 'report' 'events' -- "$orvexp"
expect 0 '^orvexp 1\.0\.2$' -- "$orvexp" --version
expect 0 '5  get: exposures' -- "$orvexp" --help
expect 0 '3  the fetch failed' -- "$orvexp" get --help
expect 2 'unknown command bogus' 'Subcommands:' -- "$orvexp" bogus
expect 2 'required' -- "$orvexp" get --app a k
expect 2 '' -- "$orvexp" get --app a --server s --timeout -1 k
expect 2 '' -- "$orvexp" parse a b

# parse
expect 0 $'limit\t20\t205\t1\tyes\t3' '5 features' 'warning: experiment_detail\[0\] lists "gone"' \
  'feature_list\[1\] 5 is not a string' 'experiment_detail\[2\] is not an object' \
  -- "$orvexp" parse "$src/examples/payload.json"
expect 0 '1 feature$' -- "$orvexp" parse "$work/one.json"
expect 1 'is a directory' -- "$orvexp" parse "$work/srv"
expect 1 'JSON but not an object \(failure code -4\)' -- "$orvexp" parse "$work/array.json"
expect 1 'is not JSON' -- "$orvexp" parse "$src/README.md"
expect 1 'failure code -6' -- "$orvexp" parse "$work/none.json"

# serve and get
expect 1 'cannot listen' -- "$orvexp" serve --dir "$work/srv" --host 192.0.2.1 --port 8080
start port "$orvexp" serve --dir "$work/srv" --port 0
serve_pid="${pids[-1]}"
url="http://127.0.0.1:$port"
expect 0 '"key":"color","present":true,"kind":"string","value":"red","string":"red"' \
  '"key":"nope","present":false' '\{"event":\{"app_id":"shop-app"' \
  -- "$orvexp" get --app shop-app --server "$url" --json color nope
[ -f "$work/xdg/orvexp/orv_defaults.sqlite3" ] || { echo "FAILED: get's own data directory"; failures=$((failures + 1)); }
expect 0 'color: string="red"' 'nope: missing' -- "$orvexp" get --app shop-app --server "$url" color nope
expect 3 'HTTP 404: .*no file nosuch/ki_feature.json' -- "$orvexp" get --app nosuch --server "$url" k
kill -TERM "$serve_pid" && wait "$serve_pid"
[ $? = 0 ] || { echo "FAILED: serve did not exit 0 on SIGTERM"; failures=$((failures + 1)); }
expect 0 'POST /v1/remote-config/fetch app=shop-app 200 [0-9]+ bytes [0-9.]+ ms' \
  'app=shop-app 304 0 bytes' "app=nosuch 404 [0-9]+ bytes .*: no file $work/srv/nosuch/ki_feature.json" \
  -- cat "$work/port.err"
start quiet "$orvexp" serve --dir "$work/srv" --port 0 --quiet
expect 0 '' -- "$orvexp" get --app shop-app --server "http://127.0.0.1:$quiet" color
[ -s "$work/quiet.err" ] && { echo "FAILED: serve --quiet logged"; failures=$((failures + 1)); }

# A server that answers half a response and stalls: no answer in time (4); exposures
# that cannot be delivered before exit (5).
start stall python3 "$src/tests/stall_server.py" http-body "$work/marker"
expect 4 'no answer' -- "$orvexp" get --app a --server "http://127.0.0.1:$stall" --timeout 1 k
expect 5 'pending at exit' -- "$orvexp" get --app shop-app --timeout 1 --data-dir "$work/d5" \
  --server "file://$work/srv/shop-app/ki_feature.json" --events-url "http://127.0.0.1:$stall" color

# outbox: what waits there (the exposure the stalled collector never took), dead letters,
# and a directory without a database (1).
expect 0 'waiting: 1 events' 'dead letters: 0' -- "$orvexp" outbox --data-dir "$work/d5"
expect 1 'no event outbox in' -- "$orvexp" outbox --data-dir "$work/srv"

# report and events export on the store of serve --events: a sample ratio mismatch is 7,
# a bad --expect 2; a store that is not there is neither made nor read (1).
start col "$orvexp" serve --dir "$work/srv" --port 0 --quiet --events "$work/events.sqlite3"
expect 0 '' -- "$orvexp" get --app shop-app --server "http://127.0.0.1:$col" --data-dir "$work/dc" \
  --events-url "http://127.0.0.1:$col" color limit
db="$work/events.sqlite3"
expect 0 'experiment 101: 1 exposure; intended split: equal' 'only one group has exposures' \
  'experiment 205' -- "$orvexp" report --events "$db" --dir "$work/srv"
expect 0 '\(1 of 100\)' -- "$orvexp" report --events "$db" --expect 101=1:50,2:50
expect 7 'Sample ratio mismatch: 1 exposure went to group 2,' -- "$orvexp" report --events "$db" \
  --expect 101=1:50,3:50
expect 0 '^\{"experiments":\[\{"alarm":false' -- "$orvexp" report --events "$db" --json
expect 2 'not GROUP:WEIGHT' -- "$orvexp" report --events "$db" --expect 101=1
expect 1 'none.sqlite3 does not exist' -- "$orvexp" report --events "$work/none.sqlite3"
[ -e "$work/none.sqlite3" ] && { echo "FAILED: report made a store"; failures=$((failures + 1)); }
expect 1 'is not a SQLite database' -- "$orvexp" report --events "$src/README.md"
expect 0 '"app_id":"shop-app","event_id":"[^"]+","name":"zu_experiment_exposure"' \
  -- "$orvexp" events export --events "$db"
expect 1 'cannot write' -- "$orvexp" events export --events "$db" --out "$work/no/such/file"
expect 2 'required' -- "$orvexp" events

# demo: each read is followed by what it logged and sent.
expect 0 $'color: string="red"[^\n]*\n  event zu_experiment_exposure[^\n]*\n  log' 'demo finished' \
  -- "$orvexp" demo

[ "$failures" = 0 ] && echo "orvexp: all checks passed"
exit "$((failures > 0))"
