#!/usr/bin/env bash
# The C interface as another program uses it: from the headers and shared library
# installed in PREFIX, against a real `orvexp serve` on 127.0.0.1.
#   c   builds c_api_test.c as C99 (-Wall -Wextra -Wpedantic -Werror, $CC or cc, flags
#       from the installed OrvExperiment.pc), checks it is linked to the shared library,
#       and runs its start-up-succeeds and start-up-fails scenarios.
#   otlp  builds it the same way and runs its export scenario against serve's collector,
#       then counts what the collector stored (orvexp events export): each event once.
#   python  runs c_api_ctypes.py, a ctypes binding of the installed libOrvExperiment.so.N,
#       under Debian's python3.
# Usage: c_api.sh c|otlp|python PREFIX ORVEXP WORK_DIR VERSION
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
lang="$1" prefix="$2" orvexp="$3" work="$4" version="$5"
fail() { echo "c_api: $*" >&2; exit 1; }

shopt -s nullglob
pcs=("$prefix"/lib*/pkgconfig/OrvExperiment.pc "$prefix"/lib*/*/pkgconfig/OrvExperiment.pc)
[ "${#pcs[@]}" -gt 0 ] || fail "no OrvExperiment.pc under $prefix"
libdir="$(dirname "$(dirname "${pcs[0]}")")"
export PKG_CONFIG_PATH="$(dirname "${pcs[0]}")"
libs=("$libdir"/libOrvExperiment.so.[0-9]*)
[ "${#libs[@]}" -gt 0 ] || fail "no libOrvExperiment.so.N in $libdir"
# The name the dynamic linker loads (libOrvExperiment.so.1), not the fully versioned file.
soname="$(readelf -d "${libs[0]}" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
[ -e "$libdir/$soname" ] || fail "no $soname in $libdir"

rm -rf "$work" && mkdir -p "$work/srv/c-app" "$work/srv/py-app"
cp "$here/../../examples/payload.json" "$work/srv/c-app/ki_feature.json"
cp "$here/../../examples/payload.json" "$work/srv/py-app/ki_feature.json"

"$orvexp" serve --dir "$work/srv" --events "$work/events.db" --port 0 --quiet >"$work/serve.out" 2>"$work/serve.err" &
serve=$!
trap 'kill "$serve" 2>/dev/null || true' EXIT
# serve prints "serving DIR on http://127.0.0.1:PORT" once it listens.
line=""
for _ in $(seq 600); do
  line="$(head -n1 "$work/serve.out" 2>/dev/null || true)"
  [ -n "$line" ] && break
  kill -0 "$serve" 2>/dev/null || fail "serve exited: $(cat "$work/serve.err")"
  sleep 0.05
done
[ -n "$line" ] || fail "serve printed no address"
url="http://127.0.0.1:${line##*:}"

app="$work/c_api_test"
build_c() {
  # shellcheck disable=SC2046
  "${CC:-cc}" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$app" "$here/c_api_test.c" \
    $(pkg-config --cflags --libs OrvExperiment) -pthread -Wl,-rpath,"$libdir" ||
    fail "the C99 program does not build"
  readelf -d "$app" | grep -q "NEEDED.*\[$soname\]" || fail "not linked to $soname"
}

case "$lang" in
  c)
    build_c
    "$app" ready "$url" "$work/srv/c-app/ki_feature.json" "$work/data-ready" "$version" ||
      fail "ready: exit $?"
    "$app" failed "$url" "$work/data-failed" || fail "failed: exit $?"
    ;;
  otlp)
    build_c
    "$app" export "$url" "$work/data-export" || fail "export: exit $?"
    "$orvexp" events export --events "$work/events.db" >"$work/exported.jsonl" ||
      fail "events export: exit $?"
    # Exactly these, each once: the exposure of experiment 101 and the two outcomes.
    /usr/bin/python3 - "$work/exported.jsonl" <<'PY' || fail "the collector's events differ"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
seen = sorted((e["app_id"], e["name"], e["properties"].get("#experiment_id", ""),
               e["properties"].get("#outcome", ""), e["properties"].get("#value", 0))
              for e in events)
want = [("c-app", "orv_outcome", "", "purchase", 12.5), ("c-app", "orv_outcome", "", "signup", 1),
        ("c-app", "zu_experiment_exposure", "101", "", 0)]
ids = {e["event_id"] for e in events}
if seen != want or len(ids) != len(events):
    sys.exit(f"stored: {events}")
PY
    ;;
  python)
    /usr/bin/python3 "$here/c_api_ctypes.py" "$libdir/$soname" "$url" \
      "$work/srv/py-app/ki_feature.json" "$work/data-python" "$version" || fail "python: exit $?"
    ;;
  *) fail "unknown language $lang" ;;
esac
echo "c_api: $lang ok"
