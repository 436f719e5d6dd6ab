#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package: a release build for /usr in build/package (no tests, no
# benchmarks), then CPack's DEB generator. Prints the path of the .deb on its last line.
#   scripts/package.sh [extra cmake -D options...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

scripts/install-deps.sh >&2
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DTAVIK_BUILD_TESTS=OFF \
  -DTAVIK_BUILD_BENCH=OFF \
  "$@" >&2
cmake --build "$build" -j "$jobs" >&2
rm -f "$build"/tavik_*.deb
(cd "$build" && cpack -G DEB >&2)

deb=$(ls "$build"/tavik_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends >&2
echo "$(pwd)/$deb"
