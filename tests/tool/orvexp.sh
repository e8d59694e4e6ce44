#!/usr/bin/env bash
# orvexp as a user runs it: every documented exit code of every command, and what the
# commands print (get --json and missing keys, serve's request lines and 404s, parse's
# warnings and errors, demo's order).
# Usage: orvexp.sh ORVEXP SOURCE_DIR WORK_DIR
#
# The cases are grouped into jobs that share nothing but the read-only payloads and the
# stalling server, and the jobs run at once, each in a directory of its own: most of the
# test's time is waits that a timeout takes by construction, and those overlap. Every
# wait is for an event (a line printed, a process ending), bounded generously.
set -uo pipefail
orvexp="$1" src="$2" work="$3"
rm -rf "$work" && mkdir -p "$work/srv/shop-app"
cp "$src/examples/payload.json" "$work/srv/shop-app/ki_feature.json"
echo '[1]' >"$work/array.json" && echo '{"a":1}' >"$work/one.json"
# Far beyond what starting a server takes, also beside busy loops on two cores.
bound=90
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT

# expect CODE PATTERN... -- COMMAND...: COMMAND exits with CODE and its output (stdout,
# then stderr; also left in $dir/out) matches every PATTERN (bash extended regular
# expressions). Every line on stderr, of every command, is one of ours: "orvexp
# COMMAND: ..." (or "orvexp: ..." before a command is known).
expect() {
  local code="$1" patterns=() out rc
  shift
  while [ "$1" != -- ]; do patterns+=("$1") && shift; done
  shift
  out="$("$@" 2>"$dir/stderr")"
  rc=$?
  [ -s "$dir/stderr" ] && out+="${out:+$'\n'}$(cat "$dir/stderr")"
  printf '%s\n' "$out" >"$dir/out"
  local ok=1
  [ "$rc" = "$code" ] || ok=0
  for p in "${patterns[@]}"; do [[ "$out" =~ $p ]] || ok=0; done
  if grep -qvE '^orvexp( [a-z]+)*: ' "$dir/stderr"; then
    echo "FAILED: a line on stderr without the prefix: $*"
    ok=0
  fi
  if [ "$ok" = 0 ]; then
    echo "FAILED: exit $rc (want $code), patterns: ${patterns[*]}: $*"
    echo "$out" | head -n 30
    failures=$((failures + 1))
  fi
}
# usage PATTERN... -- COMMAND...: a usage error: exit 2, nothing on stdout, and on
# stderr a short reason and the usage line (never the whole help) matching every PATTERN.
usage() {
  expect 2 "$@"
  if [ "$(wc -l <"$dir/stderr")" -gt 2 ] || grep -q 'Subcommands:' "$dir/out" ||
    [ "$(wc -l <"$dir/out")" != "$(wc -l <"$dir/stderr")" ]; then
    echo "FAILED: a usage error is two lines on stderr only: ${*: -1}"
    head -n 5 "$dir/out"
    failures=$((failures + 1))
  fi
}
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
# elapsed COMMAND...: runs COMMAND (its output to $dir/elapsed.out) and sets `seconds`
# to the whole seconds it took, rounded up.
elapsed() {
  local from to
  from="$(date +%s%N)"
  "$@" >"$dir/elapsed.out" 2>&1
  to="$(date +%s%N)"
  seconds=$(((to - from + 999999999) / 1000000000))
}
# start VAR COMMAND...: runs COMMAND in the background (stderr to $dir/VAR.err, its pid
# added to pids) and sets VAR to the port at the end of the first line it prints, as
# soon as it prints it; empty when it ends or stays silent for $bound seconds. The line
# comes through a FIFO this shell keeps open, so later lines never meet a closed pipe.
start() {
  local var="$1" line="" fd
  shift
  mkfifo "$dir/$var.fifo"
  "$@" >"$dir/$var.fifo" 2>"$dir/$var.err" &
  pids+=($!)
  exec {fd}<"$dir/$var.fifo"
  read -r -t "$bound" -u "$fd" line || fail "no port from $*"
  printf -v "$var" '%s' "${line##*:}"
}

# job NAME FUNCTION: runs FUNCTION in the background with a directory of its own ($dir,
# which is also its XDG_DATA_HOME's parent: get's default data directory is per job),
# its output to $work/NAME.log; `collect` waits for every job and adds up its failures.
jobs_started=()
job() {
  local name="$1"
  mkdir -p "$work/$name"
  (
    dir="$work/$name" failures=0 pids=()
    export XDG_DATA_HOME="$dir/xdg"
    trap 'kill "${pids[@]}" 2>/dev/null' EXIT
    from="$(date +%s%N)"
    "$2"
    echo "$failures" >"$dir/failures"
    echo "job $name: $((($(date +%s%N) - from) / 1000000)) ms, $failures failed"
  ) >"$work/$name.log" 2>&1 &
  pids+=($!)
  jobs_started+=("$name:$!")
}
collect() {
  local total=0 entry name
  for entry in "${jobs_started[@]}"; do
    name="${entry%%:*}"
    wait "${entry#*:}"
    cat "$work/$name.log"
    if [ -s "$work/$name/failures" ]; then
      total=$((total + $(cat "$work/$name/failures")))
    else
      echo "FAILED: job $name ended before its end" && total=$((total + 1))
    fi
  done
  failures="$total"
}

# A port nothing listens on.
dead_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
version="$(sed -nE 's/^project\(OrvExperiment VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")"

# Usage errors (a reason and the usage line, on stderr), help, version.
usage_cases() {
  usage '^orvexp: a command is required' \
    'commands: parse, serve, get, demo, outbox, report, events, track, analyze' \
    -- "$orvexp"
  usage '^orvexp: unknown command bogus' 'usage: orvexp' -- "$orvexp" bogus
  usage '^orvexp: unknown option --bogus' -- "$orvexp" --bogus
  usage '^orvexp get: --server is required' 'orvexp get: usage: orvexp get ' -- "$orvexp" get --app a k
  usage '^orvexp get: --timeout: -1 is not' -- "$orvexp" get --app a --server http://h --timeout -1 k
  usage '^orvexp get: --app: must not be empty' -- "$orvexp" get --app '' --server "file://$work/one.json" k
  usage '^orvexp get: unknown option --nope' -- "$orvexp" get --app a --server http://h --nope k
  usage '^orvexp get: --override =1: expected KEY=JSON' -- "$orvexp" get --app a --server http://h --override =1 k
  usage '^orvexp track: --bucket-id is required' -- "$orvexp" track --app a purchase
  usage '^orvexp track: name: must be 1 to 128 bytes' -- "$orvexp" track --app a --bucket-id u 'two words'
  usage '^orvexp track: value: must be finite' -- "$orvexp" track --app a --bucket-id u purchase inf
  # One split per --expect: a second one needs an --expect of its own.
  usage '^orvexp report: unexpected argument.* 101=1:50,2:50' \
    -- "$orvexp" report --events "$dir/none.sqlite3" --expect 101=1:50,3:50 101=1:50,2:50
  usage '^orvexp parse: unexpected argument' -- "$orvexp" parse a b
  usage '^orvexp events: a command is required' 'commands: export' -- "$orvexp" events
  usage '^orvexp help: unknown command nope' -- "$orvexp" help nope
  expect 0 "^orvexp ${version//./\\.} \(package OrvExperiment ${version//./\\.}, shared library libOrvExperiment\.so\.${version%%.*}\)" \
    $'\nSDK version 1\\.0\\.2 ' -- "$orvexp" version
  expect 0 "^orvexp ${version//./\\.} " -- "$orvexp" --version
  expect 0 '5  get: exposures' -- "$orvexp" --help
  # Every exit status the help lists is in the table of docs/orvexp.md, in the same words: a row
  # with its code, for its command or for all, that says it.
  local rows line code rest found=0
  rows="$(grep -E '^\| [0-9]+ \| ' "$src/docs/orvexp.md" | tr -d '`')"
  while IFS= read -r line; do
    [[ "$line" =~ ^\ +([0-9]+)\ +(.*)$ ]] || continue
    code="${BASH_REMATCH[1]}" rest="${BASH_REMATCH[2]}"
    found=$((found + 1))
    # "COMMAND: MEANING", or a meaning of every command that may itself hold a colon.
    grep -E "^\| $code \| all \| " <<<"$rows" | grep -qF -- "$rest" && continue
    [[ "$rest" =~ ^([a-z]+):\ (.*)$ ]] &&
      grep -E "^\| $code \| (${BASH_REMATCH[1]}|all) \| " <<<"$rows" | grep -qF -- "${BASH_REMATCH[2]}" &&
      continue
    fail "the table of exit codes in docs/orvexp.md lacks: $code $rest"
  done < <(sed -n '/^Exit status:/,$p' "$dir/out")
  [ "$found" -ge 10 ] || fail "orvexp --help lists $found exit codes"
  expect 0 '^OrvExperiment command-line tool' '5  get: exposures' -- "$orvexp" help
  expect 0 'Usage: orvexp get ' '3  the fetch failed' -- "$orvexp" get --help
  expect 0 'Usage: orvexp get ' '3  the fetch failed' -- "$orvexp" help get
  expect 0 'Usage: orvexp events export ' -- "$orvexp" help events export
}

parse_cases() {
  expect 0 $'limit\t20\t205\t1\tyes\t3' '5 features' 'warning: experiment_detail\[0\] lists "gone"' \
    'feature_list\[1\] 5 is not a string' 'experiment_detail\[2\] is not an object' \
    -- "$orvexp" parse "$src/examples/payload.json"
  expect 0 '1 feature$' -- "$orvexp" parse "$work/one.json"
  expect 1 'is a directory' -- "$orvexp" parse "$work/srv"
  expect 1 'JSON but not an object \(failure code -4\)' -- "$orvexp" parse "$work/array.json"
  expect 1 'is not JSON' -- "$orvexp" parse "$src/README.md"
  expect 1 'failure code -6' -- "$orvexp" parse "$work/none.json"
  # Weighted groups resolved for a unit as the library would; without one, said so.
  expect 0 $'button_color\tgreen\tcheckout-button\tgreen\tno\tu1' $'checkout_copy\tPay' \
    -- "$orvexp" parse --unit u1 "$src/examples/assigned-payload.json"
  expect 0 $'button_color\tgrey\t-' 'warning: experiment checkout-button assigns weighted groups: give --unit' \
    -- "$orvexp" parse "$src/examples/assigned-payload.json"
  expect 0 'button_color: string="grey"' 'orvexp get: warning: no unit to assign groups to .*checkout-button$' \
    -- "$orvexp" get --app a --server "file://$src/examples/assigned-payload.json" \
    --data-dir "$work/unitless" button_color
  [ "$(grep -c 'no unit' "$dir/out")" = 1 ] || fail "get says once that groups went unassigned"
}

# serve and get
serve_cases() {
  expect 1 'cannot listen on 192.0.2.1:8080: the address is not one of this host' \
    -- "$orvexp" serve --dir "$work/srv" --host 192.0.2.1 --port 8080
  # A name the resolver refuses without asking any server (an empty label).
  expect 1 'cannot listen on no\.\.such\.invalid:8080: the host cannot be resolved' \
    -- "$orvexp" serve --dir "$work/srv" --host no..such.invalid --port 8080
  start port "$orvexp" serve --dir "$work/srv" --port 0
  local serve_pid="${pids[-1]}" url="http://127.0.0.1:$port"
  local file="file://$work/srv/shop-app/ki_feature.json"
  expect 0 '"key":"color","present":true,"kind":"string","value":"red","string":"red"' \
    '"key":"nope","present":false' '\{"event":\{"app_id":"shop-app"' \
    -- "$orvexp" get --app shop-app --server "$url" --json color nope
  [ -f "$dir/xdg/orvexp/orv_defaults.sqlite3" ] || fail "get's own data directory"
  # A key the table lacks reads as the defaults, and says so.
  expect 0 'color: string="red"' 'nope: missing, default string="" number=0 boolean=false json=\{\}' \
    -- "$orvexp" get --app shop-app --server "$url" color nope
  # No table at all: every read answers its default, and each line shows which.
  expect 3 'HTTP 404: .*no file nosuch/ki_feature.json.*no cached table either: every read below answers its default' \
    'k: missing \(no feature table\), default string="" number=0 boolean=false json=\{\}' \
    -- "$orvexp" get --app nosuch --server "$url" --data-dir "$dir/d404" k
  expect 3 '^\{"key":"k","present":false,"string":"","number":0,"boolean":false,"json":\{\}\}' \
    -- "$orvexp" get --app nosuch --server "$url" --data-dir "$dir/d404j" --json k
  # --detail names the source as it is; with --json it is part of each object.
  expect 0 '"key":"color","present":true,.*"source":"network","reason":"found","experiment":\{"bucket_id":7,"control":false,"experiment_id":"101","group_id":"2"\}' \
    '"key":"nope","present":false,"string":"","number":0,"boolean":false,"json":\{\},"source":"default","reason":"missing_key"\}' \
    '\{"event":\{"app_id":"shop-app"' \
    -- "$orvexp" get --app shop-app --server "$url" --data-dir "$dir/dd" --json --detail color nope
  expect 0 'color: "red" source=file reason=found experiment=101' -- "$orvexp" get --app shop-app \
    --data-dir "$dir/df" --server "$file" --detail color
  # Overrides: pinned values win, say so, and send no exposure; local-only asks nobody.
  expect 0 'color: "blue" source=override reason=found' 'limit: "7" source=override' \
    -- "$orvexp" get --app shop-app --data-dir "$dir/do" --server "$file" \
    --override color=blue --override 'limit=7' --detail color limit
  grep -q '^event ' "$dir/out" && fail "an overridden read sent an exposure"
  # Each --override takes one KEY=JSON: the keys after the last one stay keys.
  expect 0 'color: string="purple"' 'limit: string="3" number=3 ' \
    -- "$orvexp" get --app shop-app --data-dir "$dir/dp" --server "$file" \
    --override color=purple --override limit=3 color limit
  expect 0 'pinned: "x" source=override' -- "$orvexp" get --app shop-app --data-dir "$dir/dl" \
    --server "http://127.0.0.1:$dead_port" --override-mode local-only --override pinned='"x"' --detail pinned
  # Start-up that fails: said as such, at once, whether a cache stands in or not. A second
  # launch on dd reads the cache and sends nothing again (the first sent color's exposure).
  expect 3 'fetch failed \(-1\).*the values below come from the cache' 'color: "red" source=cache' \
    -- "$orvexp" get --app shop-app --server "http://127.0.0.1:$dead_port" --data-dir "$dir/dd" --detail color
  grep -q '^event ' "$dir/out" && fail "a second launch sent an exposure again"
  expect 6 'orvexp get: start-up failed \(-1\): .*no feature table' \
    -- "$orvexp" get --app shop-app --server "http://127.0.0.1:$dead_port" --data-dir "$dir/dn" --wait-ready k
  [[ "$(cat "$dir/out")" =~ within ]] && fail "a failed start-up reported as a timeout"
  kill -TERM "$serve_pid" && wait "$serve_pid"
  [ $? = 0 ] || fail "serve did not exit 0 on SIGTERM"
  expect 0 'POST /v1/remote-config/fetch app=shop-app 200 [0-9]+ bytes [0-9.]+ ms' \
    'app=shop-app 304 0 bytes' "app=nosuch 404 [0-9]+ bytes .*: no file $work/srv/nosuch/ki_feature.json" \
    -- cat "$dir/port.err"
}

# The server that answers half a response and stalls, shared by the jobs that wait on
# it: no answer in time (4); exposures that cannot be delivered before exit (5).
stall_cases() {
  expect 4 'no answer.*no cached table either' -- "$orvexp" get --app a --server "http://127.0.0.1:$stall" \
    --data-dir "$dir/d4" --timeout 1 k
  expect 5 'not delivered at exit: --events-url .*: the collector did not answer within 1 s' \
    -- "$orvexp" get --app shop-app --timeout 1 --data-dir "$dir/d5" \
    --server "file://$work/srv/shop-app/ki_feature.json" --events-url "http://127.0.0.1:$stall" color
  expect 5 "not delivered at exit: --events-url .*: the collector was unreachable: .*port $dead_port" \
    -- "$orvexp" get --app shop-app --timeout 1 --data-dir "$dir/d6" \
    --server "file://$work/srv/shop-app/ki_feature.json" --events-url "http://127.0.0.1:$dead_port" color
  # outbox: what waits there (the exposure the stalled collector never took), dead
  # letters, and a directory without a database (1).
  expect 0 'waiting: 1 events' 'dead letters: 0' -- "$orvexp" outbox --data-dir "$dir/d5"
  expect 1 'no event outbox in' -- "$orvexp" outbox --data-dir "$work/srv"
}

# --timeout is one deadline for the fetch and readiness together: the first wait must
# not start a second one. Two waits take at least twice the timeout by construction, so
# the bound is that, not a guess at this machine's speed: one wait leaves a whole
# timeout (6 s) for starting and stopping the process, also under sanitizers and load.
deadline_cases() {
  elapsed "$orvexp" get --app a --server "http://127.0.0.1:$stall" --data-dir "$dir/d7" --wait-ready \
    --timeout 6 k
  [ "$seconds" -lt 12 ] || fail "--wait-ready --timeout 6 took $seconds s"
  grep -q 'no feature table within 6 s' "$dir/elapsed.out" ||
    fail "--wait-ready timeout: $(cat "$dir/elapsed.out")"
}

# report and events export on the store of serve --events: a sample ratio mismatch is 7,
# a bad --expect 2; a store that is not there is neither made nor read (1). The
# collector is --quiet: it logs nothing for all of these requests.
collector_cases() {
  local db="$dir/events.sqlite3" text="$dir/text.sqlite3"
  echo 'not a database' >"$text"
  start col "$orvexp" serve --dir "$work/srv" --port 0 --quiet --events "$db"
  expect 0 '' -- "$orvexp" get --app shop-app --server "http://127.0.0.1:$col" --data-dir "$dir/dc" \
    --events-url "http://127.0.0.1:$col" color limit
  expect 0 'experiment 101: 1 exposure; intended split: equal' 'only one group has exposures' \
    'experiment 205' -- "$orvexp" report --events "$db" --dir "$work/srv"
  expect 0 '\(1 of 100\)' -- "$orvexp" report --events "$db" --expect 101=1:50,2:50
  expect 7 'Sample ratio mismatch: 1 exposure went to group 2,' -- "$orvexp" report --events "$db" \
    --expect 101=1:50,3:50
  # The last --expect of an experiment is its split.
  expect 0 '\(1 of 100\)' -- "$orvexp" report --events "$db" --expect 101=1:50,3:50 --expect 101=1:50,2:50
  expect 0 '^\{"experiments":\[\{"alarm":false' -- "$orvexp" report --events "$db" --json
  expect 2 'not GROUP:WEIGHT' -- "$orvexp" report --events "$db" --expect 101=1
  expect 1 'none.sqlite3 does not exist' -- "$orvexp" report --events "$dir/none.sqlite3"
  [ -e "$dir/none.sqlite3" ] && fail "report made a store"
  expect 1 'is not a SQLite database' -- "$orvexp" report --events "$text"
  # Each exposure with the unit it was for (its entry's bucket_id) as its context.
  expect 0 '"app_id":"shop-app","context":\{"unit":"7"\},"event_id":"[^"]+","name":"zu_experiment_exposure"' \
    -- "$orvexp" events export --events "$db"
  # An outcome from a script goes the same way, once, whatever the retries.
  expect 0 '' -- "$orvexp" track --app shop-app --bucket-id 7 --data-dir "$dir/dc" \
    --events-url "http://127.0.0.1:$col" purchase 12.5
  expect 0 '"context":\{"unit":"7"\},"event_id":"[^"]+","name":"orv_outcome","properties":\{"#outcome":"purchase","#value":12.5\}' \
    -- "$orvexp" events export --events "$db"
  [ "$(grep -c orv_outcome "$dir/out")" = 1 ] || fail "one outcome in the store"
  expect 0 '^event \{"app_id":"a","context":\{"unit":"u"\},.*"properties":\{"#outcome":"click","#value":1\}' \
    -- "$orvexp" track --app a --bucket-id u --data-dir "$dir/dt" click
  expect 1 'cannot write' -- "$orvexp" events export --events "$db" --out "$dir/no/such/file"
  expect 2 'required' -- "$orvexp" events
  [ -s "$dir/col.err" ] && fail "serve --quiet logged: $(head -n 3 "$dir/col.err")"
  # A store it cannot own is refused before it listens (1).
  expect 1 '^orvexp serve: --events: .*text.sqlite3 is not a SQLite database' \
    -- "$orvexp" serve --dir "$work/srv" --port 0 --events "$text"
}

# analyze: JSON in from a file or stdin, JSON out; input that cannot be compared is
# refused in words (1), arguments it does not take are usage errors (2).
analyze_cases() {
  local groups='[{"id":"c","control":true,"units":3407,"sum":1396.87,"sum_squares":52377.9767},
    {"id":"green","units":3461,"sum":2422.7,"sum_squares":134698.29}]'
  printf '{"difference":"absolute","groups":%s}' "$groups" >"$dir/in.json"
  expect 0 '^\{"alpha":0.05,"comparisons":\[\{"ci":\[' '"estimate":0.29' '"id":"green"' \
    '"control":"c"' -- "$orvexp" analyze --in "$dir/in.json"
  expect 0 '"sequential":\{"expected_units":10000\}' '"fixed_horizon":' \
    -- bash -c 'printf "%s" "$1" | "$2" analyze' _ \
    "{\"sequential\":{\"expected_units\":10000},\"groups\":$groups}" "$orvexp"
  expect 1 '^orvexp analyze: stdin: not JSON' -- bash -c 'echo nope | "$1" analyze' _ "$orvexp"
  expect 1 'stdin: unknown field "groups\[0\].sums"' \
    -- bash -c 'echo "$1" | "$2" analyze' _ '{"groups":[{"id":"c","sums":1}]}' "$orvexp"
  expect 1 'in.json.two: groups c and green are both control' \
    -- bash -c 'sed "s/\"units\":3461/\"control\":true,&/" "$1" >"$1.two" &&
      "$2" analyze --in "$1.two"' _ "$dir/in.json" "$orvexp"
  expect 1 '^orvexp analyze: .*none.json: cannot be read' -- "$orvexp" analyze --in "$dir/none.json"
  usage '^orvexp analyze: unexpected argument' -- "$orvexp" analyze "$dir/in.json"
  usage '^orvexp analyze: unknown option --nope' -- "$orvexp" analyze --nope
}

# demo: each read is followed by what it logged and sent, each line once; a boolean's
# number read is explained. (Its experiment loop is the orvexp_demo and experiment_loop
# tests' work.)
demo_cases() {
  expect 0 $'color: string="red"[^\n]*\n  event zu_experiment_exposure[^\n]*\n  log' 'demo finished' \
    $'flag: string="true" number=true[^\n]*\n  \\(a boolean is a number to the number read: true is 1' \
    -- "$orvexp" demo --devices 0
  local repeated
  repeated="$(uniq -d "$dir/out")"
  [ -z "$repeated" ] || fail "demo repeats lines: $repeated"
}

dir="$work" failures=0
start stall python3 "$src/tests/stall_server.py" http-body "$work/marker"
[ "$failures" = 0 ] || { echo "FAILED: the stalling server did not start"; exit 1; }
job deadline deadline_cases
job stall stall_cases
job serve serve_cases
job collector collector_cases
job usage usage_cases
job parse parse_cases
job demo demo_cases
job analyze analyze_cases
collect

[ "$failures" = 0 ] && echo "orvexp: all checks passed"
exit "$((failures > 0))"
