#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages tavik and tavik-bmcsim with dpkg-buildpackage from a copy
# of the tree in build/package/src (so that the build leaves nothing in the tree), then
# checks them with lintian, failing on any tag that is not overridden with a reason.
# The packages (with their -dbgsym packages), .buildinfo and .changes end up in
# build/package; the paths of the tavik and tavik-bmcsim .deb files are the last two
# lines of the output. As root, it then installs both
# packages on this machine, runs them, and removes and purges them again
# (tests/install/install_test.py --system); --no-install skips that.
#   scripts/package.sh [--no-install]
set -euo pipefail
cd "$(dirname "$0")/.."

install=1
case "${1:-}" in
  "") ;;
  --no-install) install=0 ;;
  *) echo "package.sh: unknown option '$1' (use --no-install)" >&2; exit 2 ;;
esac

out=build/package
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
version=$(dpkg-parsechangelog -l debian/changelog -S Version)

scripts/install-deps.sh >&2
rm -rf "$out"
mkdir -p "$out/src/tavik-$version"
# Every file git knows or would add (a file deleted but not yet committed is skipped).
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read --warning=no-failed-read -T - -cf - | tar -xf - -C "$out/src/tavik-$version"

start=$(date +%s)
(cd "$out/src/tavik-$version" &&
  DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc >&2)
echo "package: dpkg-buildpackage took $(( $(date +%s) - start )) s" >&2
mv "$out"/src/*.deb "$out"/src/*.buildinfo "$out"/src/*.changes "$out"/
rm -rf "$out/src"

changes=$(ls "$out"/tavik_"$version"_*.changes)
lintian -EvIL +pedantic --fail-on error,warning,info,pedantic "$changes" >&2
if [ "$install" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  python3 tests/install/install_test.py --system . >&2
elif [ "$install" = 1 ]; then
  echo "package: not root, so the packages were not installed and tested (tests/install/install_test.py --system)" >&2
fi
for deb in "$out"/tavik_"$version"_*.deb "$out"/tavik-bmcsim_"$version"_*.deb; do
  dpkg-deb --field "$deb" Package Version Architecture Depends >&2
  echo "$(pwd)/$deb"
done
