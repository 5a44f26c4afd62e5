#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs, builds and runs the whole test suite (as root: the system tests
# build fake machines in private namespaces), then the sanitizer build, its unit
# tests and the fuzz targets.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/tools/install-deps.sh"
BUILD_DIR=$build "$top/tools/build.sh"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")
"$top/tools/sanitize.sh"
