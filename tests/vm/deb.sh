#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Prints the path of a tavik .deb made from the tree as it is now, for the guest to install:
# - scripts/package.sh's (build/package) when it is newer than every file and folder of the
#   package's sources (what git knows or would add, without the tests, benchmarks and
#   scripts, which the package build leaves out), so that a run after package.sh costs nothing;
# - else the one cached in DIR/HASH, HASH being a hash of those files' contents;
# - else it builds the binary packages into DIR/HASH with dpkg-buildpackage (without the
#   dbgsym packages and lintian: what the guest tests is what gets installed).
# With REF (a release's tag), the tavik .deb of that release instead, built from the tag's
# tree and cached in DIR/COMMIT: the package an upgrade starts from.
#   tests/vm/deb.sh DIR [REF]
set -euo pipefail

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: deb.sh DIR [REF]" >&2; exit 2; }
top=$(realpath -m "$1")
# One build at a time: a second caller waits, then finds the first one's result.
mkdir -p "$top"
exec 9>"$top.lock"
flock 9
cd "$(dirname "$0")/../.."
arch=$(dpkg --print-architecture)

build() {  # build SRC OUT: the binary packages of the source tree SRC into OUT
  local start; start=$(date +%s)
  local jobs; jobs=$(nproc)
  [ "$jobs" -le 2 ] || jobs=2
  (cd "$1" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc >"$top/build.log" 2>&1) ||
    { tail -n 40 "$top/build.log" >&2; echo "deb.sh: dpkg-buildpackage failed (log: $top/build.log)" >&2; exit 1; }
  mkdir -p "$2"
  mv "$(dirname "$1")"/*.deb "$2/"
  echo "deb.sh: packages built in $(( $(date +%s) - start )) s" >&2
}

if [ $# -eq 2 ]; then
  commit=$(git rev-parse --verify "$2^{commit}")
  version=$(git show "$commit:debian/changelog" | dpkg-parsechangelog -l - -S Version)
  out=$top/$commit
  if [ ! -f "$out/tavik_${version}_${arch}.deb" ]; then
    rm -rf "$top/src"
    mkdir -p "$top/src/tavik-$version"
    git archive "$commit" | tar -xf - -C "$top/src/tavik-$version"
    build "$top/src/tavik-$version" "$out"
    rm -rf "$top/src"
  fi
  echo "$out/tavik_${version}_${arch}.deb"
  exit 0
fi

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
name=tavik_${version}_${arch}.deb

files() { git ls-files -z --cached --others --exclude-standard -- . ':!tests' ':!bench' ':!scripts' ':!.ci'; }

packaged=build/package/$name
if [ -f "$packaged" ]; then
  newest=$({ files | xargs -0 stat -c %Y 2>/dev/null || true
             files | xargs -0 -n 64 dirname | sort -u | xargs stat -c %Y 2>/dev/null || true; } | sort -n | tail -n 1)
  if [ "$(stat -c %Y "$packaged")" -gt "${newest:-0}" ]; then
    echo "$(pwd)/$packaged"
    exit 0
  fi
fi

hash=$({ files | sort -z | xargs -0 sha256sum 2>/dev/null || true; } | sha256sum | cut -c1-16)
out=$top/$hash
if [ -f "$out/$name" ]; then
  echo "$out/$name"
  exit 0
fi

rm -rf "$top"
src=$top/src/tavik-$version
mkdir -p "$src"
files | tar --null --ignore-failed-read --warning=no-failed-read -T - -cf - | tar -xf - -C "$src"
build "$src" "$out"
rm -rf "$top/src"
echo "$out/$name"
