#!/usr/bin/env bash
# Builds and runs the consumer application (C++17) against OrvExperiment installed in
# PREFIX (a scratch prefix, or /usr for the Debian package), then the installed orvexp.
# First, the versions agree: the CMake package's version file, the .pc Version, the
# shared library's file name and soname and `orvexp version` all say the version of
# project(VERSION) in the source tree, while the SDK version (what servers see) stays
# 1.0.2.
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
# Absolute: a relative XDG_DATA_HOME is ignored (the XDG rule), and the examples' run
# would then share the user's own data directory and its exposure records.
work="$(cd "$work" && pwd)"
fail() { echo "consume: $*" >&2; exit 1; }

# The one source of truth, and what the SDK tells servers (independent of it).
version="$(sed -nE 's/^project\(OrvExperiment VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' \
  "$here/../../CMakeLists.txt")"
[ -n "$version" ] || fail "no project(OrvExperiment VERSION ...) in CMakeLists.txt"
major="${version%%.*}"
sdk_version=1.0.2
[ "$(pkg-config --modversion OrvExperiment)" = "$version" ] ||
  fail "OrvExperiment.pc says Version $(pkg-config --modversion OrvExperiment), not $version"
config_version=("$libdir"/cmake/OrvExperiment/OrvExperimentConfigVersion.cmake)
grep -q "^set(PACKAGE_VERSION \"$version\")" "${config_version[0]}" ||
  fail "${config_version[0]} is not version $version"
sos=("$libdir"/libOrvExperiment.so.*.*.*)
if [ "${#sos[@]}" -gt 0 ]; then
  [ "${sos[*]}" = "$libdir/libOrvExperiment.so.$version" ] ||
    fail "shared library ${sos[*]}, not libOrvExperiment.so.$version"
  soname="$(readelf -d "${sos[0]}" | sed -nE 's/.*Library soname: \[(.*)\]/\1/p')"
  [ "$soname" = "libOrvExperiment.so.$major" ] || fail "soname $soname, not libOrvExperiment.so.$major"
  [ "$(readlink "$libdir/libOrvExperiment.so.$major")" = "libOrvExperiment.so.$version" ] ||
    fail "libOrvExperiment.so.$major does not name libOrvExperiment.so.$version"
fi
echo "consume: version $version (soname .so.$major) in the CMake package, the .pc and the library"

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
  "$work/examples/app-tests/example-app-tests" --gtest_brief=1 >"$work/examples-app-tests.log" 2>&1 ||
    fail "examples/app-tests: $(tail -n 20 "$work/examples-app-tests.log")"
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
        -DORV_EXPECTED_VERSION="$version" \
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
  case "$v" in *-shared) [ "$linked" = 1 ] || fail "$v: not linked to the shared library"
                         readelf -d "$app" | grep -q "NEEDED.*\[libOrvExperiment\.so\.$major\]" ||
                           fail "$v: does not need libOrvExperiment.so.$major" ;;
               *) [ "$linked" = 0 ] || fail "$v: linked to the shared library" ;; esac
  out="$("$app" "$payload" "$work/$v/data" "$work/$v/events.jsonl")" || fail "$v: run failed"
  [ "$out" = "red $sdk_version" ] || fail "$v: printed '$out' (getSDKVersion() is $sdk_version)"
  grep -q '"name":"zu_experiment_exposure"' "$work/$v/events.jsonl" || fail "$v: no event"
  echo "consume: $v ok"
done

if [ -x "$prefix/bin/orvexp" ]; then
  said="$("$prefix/bin/orvexp" version 2>&1)" || fail "orvexp version: $said"
  [[ "$said" == "orvexp $version (package OrvExperiment $version, shared library libOrvExperiment.so.$major)"$'\n'"SDK version $sdk_version "* ]] ||
    fail "orvexp version says: $said"
  "$prefix/bin/orvexp" parse "$payload" >/dev/null 2>&1 || fail "orvexp parse"
  echo "consume: orvexp ok"
fi
