#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds and prints the benchmark figures, each measured in one run inside a fake
# machine: the GPU enumeration against a bare libhd probe on a 32-function laptop
# with Debian's real kernel tree and headers, and the reading of "Modaliases"
# over Debian's whole archive with plain and with lz4-compressed lists, and how
# soon the control module shows and is filled on the same laptop.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build "$top/tools/build.sh" >/dev/null
modules=$("$top/tests/realkernel/fetch-kernel.sh" --headers)
cache=$(dirname "$(dirname "$(dirname "$(dirname "$modules")")")")
machine() {
    python3 "$top/tests/fakemachine/fakemachine.py" --bind "$build" "$@"
}
echo "== GPU enumeration (bench-laptop, real kernel tree with headers)"
machine --profile bench-laptop --real-modules "$modules" --real-headers "$cache/linux-headers" -- "$build/bin/enumerationbench" 21
echo "== Control module: first paint and filled form (bench-laptop, real kernel tree with headers)"
machine --profile bench-laptop --real-modules "$modules" --real-headers "$cache/linux-headers" -- "$build/bin/kcmbench" 11
for lists in debian-archive debian-archive-lz4; do
    echo "== Modaliases of every package ($lists)"
    machine --profile "$lists" -- "$build/bin/packagesbench" 200
done
