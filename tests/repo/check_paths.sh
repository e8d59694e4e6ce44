#!/usr/bin/env bash
# The path check on small repositories of its own: what a machine-bound path looks like
# to it (an absolute include, a file under /tmp, a home directory in CMake), and what
# passes (paths made at run time, documents, files git does not track).
# Usage: check_paths.sh SOURCE_DIR WORK_DIR
set -uo pipefail
check="$1/scripts/check-paths.py" work="$2"
failures=0
rm -rf "$work" && mkdir -p "$work"

# repo NAME FILE TEXT [FILE TEXT]...: a git repository with these files committed.
repo() {
  local dir="$work/$1"
  shift
  mkdir -p "$dir" && git -C "$dir" init -q
  while [ $# -gt 0 ]; do
    mkdir -p "$(dirname "$dir/$1")" && printf '%s\n' "$2" >"$dir/$1"
    git -C "$dir" add "$1"
    shift 2
  done
}
# expect CODE NAME PATTERN: the check on repository NAME exits CODE and its output
# matches PATTERN.
expect() {
  local out rc
  out="$(python3 "$check" "$work/$2" 2>&1)"
  rc=$?
  if [ "$rc" != "$1" ] || ! [[ "$out" =~ $3 ]]; then
    echo "FAILED: $2: exit $rc (want $1), output: $out"
    failures=$((failures + 1))
  fi
}

repo include src/a.cpp $'#include "/tmp/x/y.h"\nint a;'
expect 1 include 'src/a\.cpp:1: includes an absolute path'
expect 1 include 'src/a\.cpp:1: names /tmp/x/y\.h'
repo home CMakeLists.txt 'include_directories(/home/alice/include)'
expect 1 home 'CMakeLists\.txt:1: names a home directory \(/home/alice\)'
repo fine src/b.cpp $'char p[] = "/tmp/orv-XXXXXX";\nstd::string d = "/tmp/" + name;' \
  src/b.h '// falls back to /tmp/orv-experiment-<uid>' \
  docs/embedding.md 'config->setOverridesFile("/home/me/overrides.json");'
printf '#include "/tmp/untracked.h"\n' >"$work/fine/untracked.cpp"
expect 0 fine 'no tracked file'

[ "$failures" = 0 ] && echo "check_paths: all cases passed"
exit $((failures > 0))
