#!/usr/bin/env bash
# Builds and runs the consumer application (C++17) against OrvExperiment installed in
# PREFIX (a scratch prefix, or /usr for the Debian package), then the installed orvexp.
# Usage: consume.sh PREFIX WORK_DIR [VARIANT...]
#   variants: cmake-shared cmake-static pc-shared pc-static, and examples: each project
#   under examples/ built on its own through find_package, the command-line tool run
#   (default: all five)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
payload="$here/../../examples/payload.json"
prefix="$1" work="$2"
shift 2
variants=("$@")
[ "${#variants[@]}" -gt 0 ] || variants=(cmake-shared cmake-static pc-shared pc-static examples)
shopt -s nullglob
pcs=("$prefix"/lib*/pkgconfig/OrvExperiment.pc "$prefix"/lib*/*/pkgconfig/OrvExperiment.pc)
[ "${#pcs[@]}" -gt 0 ] || { echo "consume: no OrvExperiment.pc under $prefix" >&2; exit 1; }
pc="${pcs[0]}"
libdir="$(dirname "$(dirname "$pc")")"
export PKG_CONFIG_PATH="$(dirname "$pc")"
rm -rf "$work" && mkdir -p "$work"
fail() { echo "consume: $*" >&2; exit 1; }

# The examples as an application developer copies them: their own CMakeLists.txt, the
# installed package and nothing of this source tree's build.
examples() {
  local dir name
  for dir in "$here"/../../examples/*/; do
    [ -f "$dir/CMakeLists.txt" ] || continue
    name="$(basename "$dir")"
    cmake -S "$dir" -B "$work/examples/$name" -DCMAKE_PREFIX_PATH="$prefix" \
      >"$work/examples-$name.log" 2>&1 || fail "examples/$name: configure failed: $(cat "$work/examples-$name.log")"
    cmake --build "$work/examples/$name" >>"$work/examples-$name.log" 2>&1 ||
      fail "examples/$name: build failed: $(cat "$work/examples-$name.log")"
  done
  local out
  out="$(XDG_DATA_HOME="$work/examples/data" "$work/examples/cli-tool/example-cli-tool" \
    consumer "file://$payload" "$work/examples/events.jsonl")" || fail "examples/cli-tool: run failed"
  [ "$(echo "$out" | head -n1)" = "color: red" ] || fail "examples/cli-tool: printed '$out'"
  grep -q '"name":"zu_experiment_exposure"' "$work/examples/events.jsonl" ||
    fail "examples/cli-tool: no event"
  echo "consume: examples ok"
}

for v in "${variants[@]}"; do
  [ "$v" = examples ] && { examples; continue; }
  app="$work/$v/app"
  case "$v" in
    cmake-*)
      static=OFF
      [ "$v" = cmake-static ] && static=ON
      cmake -S "$here" -B "$work/$v" -DCMAKE_PREFIX_PATH="$prefix" \
        -DOrvExperiment_USE_STATIC_LIBS=$static >"$work/$v.log" 2>&1 ||
        fail "$v: configure failed: $(cat "$work/$v.log")"
      cmake --build "$work/$v" >>"$work/$v.log" 2>&1 || fail "$v: build failed: $(cat "$work/$v.log")"
      ;;
    pc-shared)
      mkdir -p "$work/$v"
      # shellcheck disable=SC2046
      c++ -std=c++17 -o "$app" "$here/main.cpp" $(pkg-config --cflags --libs OrvExperiment) \
        -Wl,-rpath,"$libdir" || fail "$v: build failed"
      ;;
    pc-static)
      mkdir -p "$work/$v"
      # Only the library itself is taken static; what it needs comes from Libs.private
      # and Requires.private.
      # shellcheck disable=SC2046
      c++ -std=c++17 -o "$app" "$here/main.cpp" $(pkg-config --cflags OrvExperiment) \
        $(pkg-config --static --libs OrvExperiment | sed 's/-lOrvExperiment\b/-l:libOrvExperiment.a/') ||
        fail "$v: build failed"
      ;;
    *) fail "unknown variant $v" ;;
  esac
  linked="$(readelf -d "$app" | grep -c 'NEEDED.*libOrvExperiment' || true)"
  case "$v" in *-shared) [ "$linked" = 1 ] || fail "$v: not linked to the shared library" ;;
               *) [ "$linked" = 0 ] || fail "$v: linked to the shared library" ;; esac
  out="$("$app" "$payload" "$work/$v/data" "$work/$v/events.jsonl")" || fail "$v: run failed"
  [ "$out" = "red 1.0.2" ] || fail "$v: printed '$out'"
  grep -q '"name":"zu_experiment_exposure"' "$work/$v/events.jsonl" || fail "$v: no event"
  echo "consume: $v ok"
done

if [ -x "$prefix/bin/orvexp" ]; then
  [ "$("$prefix/bin/orvexp" --version)" = "orvexp 1.0.2" ] || fail "orvexp --version"
  "$prefix/bin/orvexp" parse "$payload" >/dev/null 2>&1 || fail "orvexp parse"
  echo "consume: orvexp ok"
fi
