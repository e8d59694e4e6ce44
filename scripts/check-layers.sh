#!/usr/bin/env bash
# The layers, each knowing nothing of those above it:
#   - the platform (src/platform) and the outside components (external/) include no
#     header of src/ outside src/platform;
#   - the library (src/, external/, include/) includes nothing of the tool;
#   - the tool's folders (tools/orvexp), lowest first: payloads, collector, analysis,
#     report, server, cli. A folder includes only folders below it (analysis includes no
#     report, server or cli; the server no cli).
# Fails naming each include that goes upwards.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
complain() {
  echo "layering: $1 includes $2" >&2
  status=1
}
includes() {  # FILE:LINE:HEADER for every quoted include under the given folders
  grep -rnH --include='*.h' --include='*.cpp' --include='*.c' '^#include "' "$@" |
    sed -E 's/^([^:]+):([0-9]+):#include "([^"]+)".*/\1:\2:\3/' || true
}

while IFS=: read -r file line header; do
  if [ -f "src/$header" ] && [[ "$header" != platform/* ]]; then complain "$file:$line" "src/$header"; fi
done < <(includes src/platform external)

tool_folders=(payloads collector analysis report server cli)
while IFS=: read -r file line header; do
  for folder in "${tool_folders[@]}"; do
    if [ -f "tools/orvexp/$header" ] && [[ "$header" == "$folder"/* ]]; then
      complain "$file:$line" "tools/orvexp/$header"
    fi
  done
done < <(includes src external include)

for i in "${!tool_folders[@]}"; do
  lower="${tool_folders[$i]}"
  [ -d "tools/orvexp/$lower" ] || { echo "layering: no folder tools/orvexp/$lower" >&2; exit 1; }
  while IFS=: read -r file line header; do
    for upper in "${tool_folders[@]:$((i + 1))}"; do
      if [[ "$header" == "$upper"/* ]]; then complain "$file:$line" "tools/orvexp/$header"; fi
    done
  done < <(includes "tools/orvexp/$lower")
done

[ "$status" -eq 0 ] && echo "layering: platform and components below the library, the library" \
  "below the tool, the tool's folders in order (${tool_folders[*]})"
exit "$status"
