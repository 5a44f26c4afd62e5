#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a command of this tree in a Debian 13 root (as root): the root is made
# once with debootstrap from Debian's archive and kept in $KIV_DEBIAN13_CACHE
# (/var/cache/kiv-admin-driver-ci) for later runs. The tree is bound at /src.
#   tools/debian13.sh tools/test.sh     the whole suite of the Qt 6 build there
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${KIV_DEBIAN13_CACHE:-/var/cache/kiv-admin-driver-ci}
root=$cache/debian13
mirror=${KIV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
if [ ! -x "$root/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    rm -rf "$root.new"
    mkdir -p "$cache"
    debootstrap --variant=minbase trixie "$root.new" "$mirror" >"$cache/debootstrap.log" 2>&1 \
        || { tail -20 "$cache/debootstrap.log"; exit 1; }
    mv "$root.new" "$root"
fi
[ $# -gt 0 ] || set -- sh
# A mount namespace of its own and a pid namespace, so that nothing the tests
# start outlives them; the root's /tmp and /run are fresh each time.
exec unshare --mount --pid --fork --propagation private sh -eu -c '
    root=$1; top=$2; shift 2
    # A mount point of its own, as / is on a machine: tests remount it.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    # On disk, not tmpfs: tests compare directory walks with the order the
    # machine file system itself gives.
    find "$root/tmp" -mindepth 1 -delete
    mount -t tmpfs tmpfs "$root/run"
    mkdir -p "$root/src"
    mount --bind "$top" "$root/src"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cd "$root"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        BUILD_DIR=/src/build-debian13 SANITIZE_BUILD_DIR=/src/build-debian13-sanitize sh -c "cd /src && exec \"\$@\"" sh "$@"
' sh "$root" "$top" "$@"
