#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and runs the tests of one preset (default: release, every test).
#   scripts/test.sh [release|debug|asan|tsan] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-release}
shift || true
case "$preset" in
  release|debug|asan|tsan) ;;
  *) echo "test.sh: unknown preset '$preset' (use release, debug, asan or tsan)" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
# A whole run keeps the QEMU guests (label vm) and the HA stack (label ha) apart from the
# timing-bound end-to-end tests: a guest under software emulation takes a core of its own,
# and the detection bounds of the other tests are not written for a machine that busy.
if [ $# -gt 0 ] || [ "$preset" = asan ] || [ "$preset" = tsan ]; then
  ctest --preset "$preset" -j "$(nproc)" "$@"
else
  ctest --preset "$preset" -j "$(nproc)" -E '^(vm|ha)\.'
  ctest --preset "$preset" -L '^ha$'
  ctest --preset "$preset" -j "$(nproc)" -L '^vm$'
fi
