#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Fetches Debian's current amd64 kernel image package once and unpacks it into
# the test cache, for the tests that read the real kernel's module files. Prints
# the module tree's path. With --depmod indexes the tree with depmod, as an
# installed kernel's is (modules.alias, modules.dep). With --headers also fetches
# the matching kernel headers (which Debian links into the module tree) and
# indexes the tree, for benchmarks on a realistic tree. With --sign-file fetches
# the kernel's sign-file (Debian's linux-kbuild package) instead and prints its
# path.
# With --dracut fetches dracut and what it needs besides instead, and prints
# the folder holding them.
# With --suite SUITE (first) takes the kernel of that Debian release instead
# (trixie: every module compressed with xz), through an APT setup of its own in
# the cache, and links it as linux-image-SUITE.
set -eu
cache=${KIV_TEST_CACHE:-/var/cache/kiv-admin-driver-tests}
mkdir -p "$cache"
cd "$cache"
link=linux-image
if [ "${1:-}" = "--suite" ]; then
    suite=$2
    shift 2
    link=linux-image-$suite
    apt_dir=$cache/apt-$suite
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    [ -f "$apt_dir/status" ] || : >"$apt_dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" >"$apt_dir/sources.list"
    # That release's lists alone and no installed packages: the machine's own
    # APT setup is neither read nor changed.
    cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "/nonexistent";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/status";
Dir::Cache "$apt_dir";
Dir::Cache::Archives "$apt_dir/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
EOF
    export APT_CONFIG="$apt_dir/apt.conf"
fi
if [ "${1:-}" = "--dracut" ]; then
    # The packages that replace initramfs-tools with dracut here, for a fake
    # machine to install with dpkg.
    if [ ! -f dracut.fetched ]; then
        rm -rf dracut
        mkdir dracut
        names=$(apt-get install -s --no-install-recommends dracut | sed -n 's/^Inst \([^ ]*\) .*/\1/p')
        (cd dracut && apt-get download -q -o APT::Sandbox::User=root $names >&2)
        touch dracut.fetched
    fi
    echo "$cache/dracut"
    exit 0
fi
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
if [ -z "$package" ]; then
    apt-get update -qq
    package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
fi
[ -n "$package" ] || { echo "cannot tell which package linux-image-amd64 depends on" >&2; exit 1; }
# Unpacks the packages named after the folder $1 into it, downloaded once.
unpack_once() {
    folder=$1
    shift
    [ ! -f "$folder.unpacked" ] || return 0
    rm -rf "$folder"
    for name in "$@"; do
        # apt's download sandbox user cannot write to a root-owned cache.
        apt-get download -q -o APT::Sandbox::User=root "$name" >&2
        dpkg-deb -x "$name"_*.deb "$folder"
        rm -f "$name"_*.deb
    done
    touch "$folder.unpacked"
}
unpack_once "$package" "$package"
ln -sfn "$package" "$link"
release=${package#linux-image-}
if [ "${1:-}" = "--sign-file" ]; then
    # Debian 13 names the package after the whole release, Debian 12 after
    # major and minor version (which Debian 13 keeps only as a virtual name).
    kbuild=linux-kbuild-${release%-amd64}
    apt-cache show "$kbuild" >/dev/null 2>&1 || kbuild=linux-kbuild-$(echo "$release" | cut -d. -f1,2)
    unpack_once "$kbuild" "$kbuild"
    ln -sfn "$kbuild/usr/lib/$kbuild/scripts/sign-file" sign-file
    echo "$cache/sign-file"
    exit 0
fi
tree=$(ls -d "$cache/$link"/lib/modules/"$release" 2>/dev/null || ls -d "$cache/$link"/usr/lib/modules/"$release")
if [ "${1:-}" = "--depmod" ]; then
    [ -f "$tree/modules.alias" ] || depmod -b "${tree%/lib/modules/*}" "$release"
fi
if [ "${1:-}" = "--headers" ]; then
    headers=linux-headers-$release
    common=$(apt-cache depends "$headers" | sed -n 's/^ *Depends: \(linux-headers-.*-common\)$/\1/p' | head -n 1)
    unpack_once "$headers" "$headers" "$common"
    ln -sfn "$headers" "linux-headers${link#linux-image}"
    [ -f "$tree/modules.alias" ] || depmod -b "${tree%/lib/modules/*}" "$release"
fi
# Debian 13 keeps the tree in /usr/lib only.
ls -d "$cache/$link"/lib/modules/* 2>/dev/null || ls -d "$cache/$link"/usr/lib/modules/*
