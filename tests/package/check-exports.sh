#!/usr/bin/env bash
# The shared library exports the public API and nothing else: every dynamic symbol
# belongs to a class, variable or C function that a public header marks ORV_EXPORT, and
# every out-of-line symbol of those in the static library is exported.
# Usage: check-exports.sh SOURCE_DIR libOrvExperiment.so libOrvExperiment.a
set -euo pipefail
src="$1" shared="$2" static="$3"
names="$(grep -hoE '(class|struct) ORV_EXPORT [A-Za-z_0-9]+|ORV_EXPORT extern [a-z ]+ [A-Za-z_0-9]+|ORV_EXPORT [A-Za-z_0-9 *]+ [*]?orv_[a-z0-9_]+\(' \
  "$src"/include/OrvExperiment/*.h "$src"/external/include/*.h | tr -d '(*' | awk '{print $NF}' |
  sort -u | paste -sd'|')"
public="^((typeinfo (name )?|vtable )for )?($names)(::|$)"
exported="$(nm -D --defined-only -C "$shared" | cut -c20- | sort -u)"
strong="$(nm --defined-only --extern-only -C "$static" | awk '$2 ~ /^[TDBR]$/' | cut -c20- | sort -u)"
status=0
if extra="$(grep -vE "$public" <<<"$exported")"; then
  echo "exported but not public API:"; echo "$extra"; status=1
fi
if missing="$(comm -23 <(grep -E "$public" <<<"$strong") <(echo "$exported") | grep .)"; then
  echo "public API not exported:"; echo "$missing"; status=1
fi
[ "$status" -eq 0 ] && echo "exports: $(wc -l <<<"$exported") symbols, all public API ($names)"
exit "$status"
