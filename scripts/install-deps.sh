#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that building, testing and running tavik needs.
# Idempotent: when everything is present it changes nothing and asks no registry.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpugixml-dev libcli11-dev nlohmann-json3-dev
  libfreeipmi-dev freeipmi-tools openipmi libopenipmi-dev
  util-linux procps iproute2 python3 python3-matplotlib
  dpkg-dev file man-db clang-format clang-tidy
  libmicrohttpd-dev python3-prometheus-client
  pkg-config libsystemd-dev debhelper lintian devscripts bash-completion systemd
  # the Pacemaker integration tests (tests/e2e/test_pacemaker.py): the HA stack's own packages
  pacemaker pacemaker-cli-utils corosync fence-agents resource-agents corosync-qdevice corosync-qnetd
  libxml2-utils
  # the whole-server tests (tests/vm): a QEMU guest booting this machine's Debian kernel
  qemu-system-x86 mmdebstrap linux-image-amd64 initramfs-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
