#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Fetches Debian's current amd64 kernel image package once and unpacks it into
# the test cache, for the tests that read the real kernel's module files. Prints
# the module tree's path. With --headers also fetches the matching kernel headers
# (which Debian links into the module tree) and indexes the modules' aliases with
# depmod, for benchmarks on a realistic tree.
set -eu
cache=${KIV_TEST_CACHE:-/var/cache/kiv-admin-driver-tests}
mkdir -p "$cache"
cd "$cache"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
if [ -z "$package" ]; then
    apt-get update -qq
    package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
fi
[ -n "$package" ] || { echo "cannot tell which package linux-image-amd64 depends on" >&2; exit 1; }
if [ ! -f "$package.unpacked" ]; then
    rm -rf "$package" "$package"_*.deb
    # apt's download sandbox user cannot write to a root-owned cache.
    apt-get download -q -o APT::Sandbox::User=root "$package" >&2
    dpkg-deb -x "$package"_*.deb "$package"
    rm -f "$package"_*.deb
    touch "$package.unpacked"
fi
ln -sfn "$package" linux-image
release=${package#linux-image-}
if [ "${1:-}" = "--headers" ]; then
    headers=linux-headers-$release
    if [ ! -f "$headers.unpacked" ]; then
        rm -rf "$headers" linux-headers-*.deb
        common=$(apt-cache depends "$headers" | sed -n 's/^ *Depends: \(linux-headers-.*-common\)$/\1/p' | head -n 1)
        apt-get download -q -o APT::Sandbox::User=root "$headers" "$common" >&2
        for deb in linux-headers-*.deb; do dpkg-deb -x "$deb" "$headers"; done
        rm -f linux-headers-*.deb
        touch "$headers.unpacked"
    fi
    ln -sfn "$headers" linux-headers
    [ -f linux-image/lib/modules/"$release"/modules.alias ] || depmod -b "$cache/linux-image" "$release"
fi
ls -d "$cache"/linux-image/lib/modules/*
