#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs clang-tidy with the tree's .clang-tidy on the product's C and C++ sources (src,
# platform, tools, bmcsim) changed since a base revision, using the compile commands of a
# configured build; a finding on a changed line fails the run (--all: every finding in
# every source, some twenty minutes on two cores). Headers are checked through the
# sources that include them; tests are left out, their gtest macros cost minutes each.
# The default base is where this branch left main. On main itself (or on a commit main
# already holds) that is HEAD and would check nothing, so the base is then the last
# commit this script found clean in this clone (the ref refs/tavik/tidy-clean, which a
# clean run there records) when HEAD has grown from it, else HEAD's first parent: a
# merge is checked whole, a fresh clone checks at least the last commit.
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
clean_ref=refs/tavik/tidy-clean
head=$(git rev-parse HEAD)
on_main=0
if [ -z "$base" ]; then
  base=$(git merge-base HEAD main 2>/dev/null || true)
  if [ -z "$base" ] || [ "$base" = "$head" ]; then
    [ -n "$base" ] && on_main=1
    clean=$(git rev-parse -q --verify "$clean_ref^{commit}" || true)
    if [ -n "$clean" ] && git merge-base --is-ancestor "$clean" HEAD; then
      base=$clean
    elif ! base=$(git rev-parse -q --verify 'HEAD^1^{commit}'); then
      echo "tidy.sh: HEAD has no parent to compare with: use --all" >&2
      exit 2
    fi
  fi
fi
if ! git rev-parse --verify -q "$base^{commit}" >/dev/null; then
  echo "tidy.sh: no such revision: $base" >&2
  exit 2
fi
echo "tidy.sh: the changes since $(git rev-parse --short "$base")"
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
# On main with nothing uncommitted, HEAD is now known clean: the next run there starts
# from it.
if [ "$on_main" -eq 1 ] && git diff --quiet HEAD -- "${dirs[@]}"; then
  git update-ref -m "tidy.sh: no findings since $base" "$clean_ref" HEAD
fi
