#!/usr/bin/env bash
# Runs the README's `make test` inside a fresh Debian 12 root made with debootstrap, so that nothing depends on
# what happens to be installed on this machine. Usage: tools/fresh-root-test.sh [ROOT_FOLDER]
# Needs root; the first run downloads a minimal Debian (a few minutes).
set -euo pipefail
root=${1:-/tmp/ledra-fresh-root}
repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)

if [ ! -x "$root/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -q debootstrap
    debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian
fi
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
rm -rf "$root/work/ledra"
mkdir -p "$root/work"
git clone -q "$repo" "$root/work/ledra"
# The tool library's shared folder sits beside the checkout, as on a developer machine.
mount_all() {
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts" 2>/dev/null || true
    mount -t sysfs sys "$root/sys"
}
unmount_all() {
    umount "$root/sys" 2>/dev/null || true
    umount "$root/dev/pts" 2>/dev/null || true
    umount "$root/dev" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
}
trap unmount_all EXIT
mount_all
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    bash -c 'apt-get update -q && apt-get install -y -q make && cd /work/ledra && make test'
