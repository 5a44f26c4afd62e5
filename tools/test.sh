#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs, builds and runs the whole test suite (as root: the system tests
# build fake machines in private namespaces), then the sanitizer build, its unit
# tests and the fuzz targets. On Debian 12 it then does the same for the Qt 6 /
# KF6 build in a Debian 13 root (tools/debian13.sh), unless KIV_DEBIAN13=no.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/tools/install-deps.sh"
BUILD_DIR=$build "$top/tools/build.sh"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")
"$top/tools/sanitize.sh"
. /etc/os-release
if [ "${VERSION_ID:-}" = 12 ] && [ "${KIV_DEBIAN13:-yes}" != no ]; then
    echo "== Debian 13: the Qt 6 / KF6 build"
    "$top/tools/debian13.sh" tools/test.sh
fi
