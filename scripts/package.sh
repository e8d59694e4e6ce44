#!/usr/bin/env bash
# Builds the Debian package build/package/liborvexperiment-dev_<version>_<arch>.deb:
# headers, static and shared library, CMake package, pkg-config file and orvexp, from
# the release build. With --check it then installs the package with dpkg -i (as root or
# through sudo), builds and runs a C++17 consumer against it through find_package and
# pkg-config (shared and static), runs the installed orvexp, imports the installed Python
# package and runs its pytest suite against it, and removes the package.
# Usage: bash scripts/package.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset package >/dev/null
cmake --build --preset package -j "${ORV_JOBS:-$(nproc)}"
rm -f build/package/liborvexperiment-dev_*.deb
(cd build/package && cpack -G DEB >/dev/null)
deb="$(echo build/package/liborvexperiment-dev_*.deb)"
dpkg-deb --field "$deb" Package Version Depends
[ "${1:-}" = --check ] || exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo dpkg -i "$deb" >/dev/null
trap '$sudo dpkg --purge liborvexperiment-dev >/dev/null' EXIT
bash tests/consumer/consume.sh /usr build/package/consumer-check
# The Python package as installed: Debian's /usr/bin/python3 finds it in dist-packages
# and it loads the installed library by soname; its suite runs against the installed
# orvexp.
unset PYTHONPATH ORVEXPERIMENT_LIBRARY ORVEXP
/usr/bin/python3 -c "import orvexperiment; print(orvexperiment.sdk_version())"
where="$(/usr/bin/python3 -c "import orvexperiment; print(orvexperiment.__file__)")"
case "$where" in
  /usr/lib/python3/dist-packages/orvexperiment/*) ;;
  *) echo "package.sh: python3 imports orvexperiment from $where" >&2; exit 1 ;;
esac
(cd build/package && /usr/bin/python3 -m pytest -q -p no:cacheprovider "$OLDPWD/python/tests")
