#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the test guest: this machine's own Debian kernel, a small initrd that loads the
# virtio and IPMI drivers before PID 1 starts (so that systemd finds /dev/watchdog), and a
# minimal Debian root with systemd, udev, FreeIPMI's tools, bmc-watchdog and the libraries
# the tavik package needs, from the mirror apt already uses. The guest runs the case script
# it finds on its 9p share (tests/vm/guest holds what is copied into the root).
# The result is cached in DIR/KEY (KEY: a hash of every input) and the folder is printed;
# a second call with the same inputs only prints it. Needs root, mmdebstrap and a
# linux-image package.
#   tests/vm/image.sh DIR
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: image.sh DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
top=$(realpath -m "$1")
# One build at a time: a second caller waits, then finds the first one's result.
mkdir -p "$top"
exec 9>"$top.lock"
flock 9
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list

kernel=$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || { echo "image.sh: no kernel in /boot (install linux-image-amd64)" >&2; exit 1; }
kver=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$kver" ] || { echo "image.sh: no modules for $kver in /lib/modules" >&2; exit 1; }

packages=systemd-sysv,udev,kmod,procps,freeipmi-tools,freeipmi-bmc-watchdog,libfreeipmi17,libpugixml1v5,libmicrohttpd12,python3-minimal,python3
initrd_modules=(virtio_pci virtio_blk ext4 crc32c_generic ipmi_si ipmi_devintf ipmi_watchdog)
root_modules=(9p 9pnet_virtio ipmi_si ipmi_devintf ipmi_watchdog ipmi_poweroff)

key=$({
  cat "$0"
  (cd "$here/guest" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
  echo "$kver $(sha256sum < "$kernel")" "$packages" "${initrd_modules[*]}" "${root_modules[*]}"
  cat "$sources"
} | sha256sum | cut -c1-16)
out=$top/$key
if [ -f "$out/done" ]; then
  echo "$out"
  exit 0
fi

start=$(date +%s)
rm -rf "$top"
mkdir -p "$out"
work=$(mktemp -d "$top/work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The initrd: only the listed modules, loaded in that order before the root is mounted.
mkdir -p "$work/initramfs/conf.d" "$work/initramfs/scripts"
printf 'MODULES=list\nBUSYBOX=auto\nCOMPRESS=zstd\n' > "$work/initramfs/initramfs.conf"
printf '%s\n' "${initrd_modules[@]}" > "$work/initramfs/modules"
mkinitramfs -d "$work/initramfs" -o "$work/initrd.img" "$kver"

# The root, without documentation, then with dpkg's exclusions dropped again so that the
# package under test installs whole.
mmdebstrap --quiet --variant=minbase --include="$packages" \
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --customize-hook='rm -f "$1"/etc/dpkg/dpkg.cfg.d/99mmdebstrap' \
  --customize-hook="cp -a '$here/guest/.' \"\$1\"/" \
  --customize-hook='chroot "$1" systemctl enable vm-case.service' \
  --customize-hook='mkdir -p "$1"/share "$1"/var/log/journal' \
  bookworm "$work/root" "$sources"

# The modules the root loads itself (the 9p share, the IPMI drivers), with their
# dependencies, and their index.
for m in "${root_modules[@]}"; do
  modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | sort -u | while read -r ko; do
  install -D -m 0644 "$ko" "$work/root$ko"
done
cp "/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$work/root/lib/modules/$kver/"
depmod -b "$work/root" "$kver"

mke2fs -q -t ext4 -L root -d "$work/root" "$work/root.img" 1G
cp "$kernel" "$work/vmlinuz"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.img" "$out/"
echo "$kver" > "$out/done"
echo "image.sh: guest image built in $(( $(date +%s) - start )) s" >&2
echo "$out"
