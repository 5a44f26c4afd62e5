#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures and builds into ./build (or $BUILD_DIR).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
