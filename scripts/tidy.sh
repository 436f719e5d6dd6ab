#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs clang-tidy with the tree's .clang-tidy on the product's C and C++ sources (src,
# platform, tools, bmcsim) changed since a base revision (default: where this branch left
# main), using the compile commands of a configured build; a finding on a changed line
# fails the run (--all: every finding in every source). Headers are checked through the
# sources that include them; tests are left out, their gtest macros cost minutes each.
#   scripts/tidy.sh [--base REV] [--build DIR] [--all]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/tidy.sh [--base REV] [--build DIR] [--all]" >&2
  exit 2
}
base=
build=build/release
all=0
while [ $# -gt 0 ]; do
  case "$1" in
    --base) [ $# -ge 2 ] || usage; base=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --all) all=1; shift ;;
    *) usage ;;
  esac
done
if ! command -v clang-tidy >/dev/null; then
  echo "tidy.sh: clang-tidy not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy.sh: $build/compile_commands.json not found: configure that build first" >&2
  exit 2
fi

dirs=(src platform tools bmcsim)
if [ "$all" -eq 1 ]; then
  mapfile -t files < <(git ls-files -- "${dirs[@]/%//*.c}" "${dirs[@]/%//*.cpp}")
  echo "tidy.sh: ${#files[@]} files"
  printf '%s\n' "${files[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
  exit
fi
if [ -z "$base" ]; then
  base=$(git merge-base HEAD main 2>/dev/null || git rev-parse HEAD~1)
fi
if ! git rev-parse --verify -q "$base^{commit}" >/dev/null; then
  echo "tidy.sh: no such revision: $base" >&2
  exit 2
fi
# Findings on the lines changed since the base (committed or not); the rest of a touched
# file is not held against the change.
report=$(git diff -U0 "$base" -- "${dirs[@]/%//*.c}" "${dirs[@]/%//*.cpp}" |
         clang-tidy-diff -p1 -path "$build" -j "$(nproc)" -quiet -regex '.*\.(c|cpp)' 2>/dev/null || true)
if grep -qE ': (warning|error):' <<<"$report"; then
  printf '%s\n' "$report"
  echo "tidy.sh: findings on changed lines" >&2
  exit 1
fi
echo "tidy.sh: no findings on changed lines"
