#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds and prints the benchmark figures, each measured in one run inside a fake
# machine: the GPU enumeration and the whole listing commands against a bare
# libhd probe on a 32-function laptop with Debian's real kernel tree and headers,
# how soon the control module shows and is filled on the same laptop, and the
# reading of "Modaliases" and the whole "list-packages" over Debian's whole
# archive, with APT as Debian ships it (plain lists, pkgcache.bin kept) and as
# this image sets it up (lz4 lists, no pkgcache.bin), against a python3-apt scan
# of the same cache and raw passes over the lists.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build "$top/tools/build.sh" >/dev/null
modules=$("$top/tests/realkernel/fetch-kernel.sh" --headers)
cache=$(dirname "$(dirname "$(dirname "$(dirname "$modules")")")")
machine() {
    python3 "$top/tests/fakemachine/fakemachine.py" --bind "$build" "$@"
}
laptop() {
    machine --profile bench-laptop --real-modules "$modules" --real-headers "$cache/linux-headers" -- "$@"
}
echo "== GPU enumeration (bench-laptop, real kernel tree with headers)"
laptop "$build/bin/enumerationbench" 21
echo "== Listing commands, whole (bench-laptop, real kernel tree with headers)"
laptop /usr/bin/python3 "$top/bench/commandbench.py" enumeration "$build" PCI:1@0:0:0 41
# Debian 13's tree, every module .ko.xz; the laptop's DKMS module compressed too.
modules13=$("$top/tests/realkernel/fetch-kernel.sh" --suite trixie --headers)
echo "== Listing commands, whole (bench-laptop, Debian 13's kernel tree with headers, modules .ko.xz)"
machine --profile bench-laptop --compression xz --real-modules "$modules13" --real-headers "$cache/linux-headers-trixie" -- \
    /usr/bin/python3 "$top/bench/commandbench.py" enumeration "$build" PCI:1@0:0:0 41
echo "== Listing commands, whole (bench-amd-desktop, Debian 13's kernel tree with headers: amdgpu in use, radeon read from .ko.xz)"
machine --profile bench-amd-desktop --real-modules "$modules13" --real-headers "$cache/linux-headers-trixie" -- \
    /usr/bin/python3 "$top/bench/commandbench.py" enumeration "$build" PCI:1@0:0:0 41
echo "== Control module: first paint and filled form (bench-laptop, real kernel tree with headers)"
laptop "$build/bin/kcmbench" 11
# Debian's real archive with AppStream's catalogues, against isenkram's lookup
# (isenkram-cli, python3-gi's AppStream) and, with EARLIER_BUILD_DIR, the
# list-packages of an earlier build; once with the catalogue read anew, then as
# every later run reads it, from the user's cache.
command -v isenkram-lookup >/dev/null || apt-get install -y -qq --no-install-recommends isenkram-cli gir1.2-appstream-1.0 python3-gi >/dev/null
earlier=${EARLIER_BUILD_DIR:-}
echo "== list-packages with AppStream's catalogue (debian12-desktop, Debian 12's whole archive)"
machine ${earlier:+--bind "$earlier"} --profile debian12-desktop -- /bin/sh -c \
    "XDG_CACHE_HOME=/proc/none /usr/bin/python3 '$top/bench/commandbench.py' appstream '$build' PCI:3@0:0:0 21 $earlier; /usr/bin/python3 '$top/bench/commandbench.py' appstream '$build' PCI:3@0:0:0 21 $earlier"
for lists in debian-archive debian-archive-lz4; do
    echo "== Modaliases of every package ($lists)"
    machine --profile "$lists" -- "$build/bin/packagesbench" 200
    echo "== list-packages, whole ($lists)"
    # A python3-apt scan of compressed lists takes minutes: only on plain ones.
    python=
    [ "$lists" = debian-archive-lz4 ] && python=--no-python
    machine --profile "$lists" -- /usr/bin/python3 "$top/bench/commandbench.py" packages "$build" PCI:1@0:0:0 9 $python
done
