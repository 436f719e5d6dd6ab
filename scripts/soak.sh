#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Soak: a three-node cluster on this machine (needs root) runs for MINUTES (default 10)
# with heartbeat datagrams lost at random on every BMC, never long enough to miss a
# heartbeat; fails when any pair was ever seen anything but online, a daemon restarted or
# did not stop cleanly. Prints the figures: state samples, states lost, state changes and
# events 71 per node, datagrams sent/received/dropped per BMC.
#   scripts/soak.sh [MINUTES] [--seed S] [--json FILE]
# TAVIK_PRESET picks the build (release by default; asan and tsan work too).
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=10
if [[ $# -gt 0 && $1 != -* ]]; then
  minutes=$1
  shift
fi
preset=${TAVIK_PRESET:-release}
case "$preset" in
  release|debug|asan|tsan) ;;
  *) echo "soak.sh: unknown preset '$preset' (use release, debug, asan or tsan)" >&2; exit 2 ;;
esac

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target tavik tavikctl tavik-bmcsim tavik_bmcsim_module
export TAVIK_BUILD="$PWD/build/$preset" TAVIK_SOURCE="$PWD" PYTHONDONTWRITEBYTECODE=1
exec python3 tests/e2e/soak.py --minutes "$minutes" "$@"
