#!/usr/bin/env bash
# The layers: the platform (src/platform) and the outside components (external/) know
# nothing of the library above them. Fails when a file there includes a header of src/
# outside src/platform.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
while IFS= read -r hit; do
  file="${hit%%:*}"
  header="$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${hit#*:}")"
  if [ -f "src/$header" ] && [[ "$header" != platform/* ]]; then
    echo "layering: $file includes src/$header" >&2
    status=1
  fi
done < <(grep -rnH --include='*.h' --include='*.cpp' '^#include "' src/platform external || true)
[ "$status" -eq 0 ] && echo "layering: src/platform and external/ include nothing of src/"
exit "$status"
