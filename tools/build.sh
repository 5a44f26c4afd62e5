#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures and builds into ./build (or $BUILD_DIR): with Qt 5 / KF5 on
# Debian 12, with Qt 6 / KF6 on Debian 13 (or as $KIV_QT says).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" $("$top/tools/qt-option.sh") -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
