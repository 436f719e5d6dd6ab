#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Formats every C and C++ file git tracks with .clang-format, or with --check only lists
# the files that are not formatted and exits 1 when there is any (CI runs the check).
#   scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac
if ! command -v clang-format >/dev/null; then
  echo "format.sh: clang-format not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "$check" -eq 0 ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "format.sh: ${#unformatted[@]} files are not formatted (run scripts/format.sh):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format.sh: ${#files[@]} files formatted"
