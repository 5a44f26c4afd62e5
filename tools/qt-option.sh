#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Prints the CMake option that picks this release's Qt: 6 from Debian 13 on,
# 5 before; $KIV_QT (5 or 6) overrides it.
set -eu
qt=${KIV_QT:-}
if [ -z "$qt" ]; then
    . /etc/os-release
    case "${VERSION_ID:-}" in
    12) qt=5 ;;
    *) qt=6 ;;
    esac
fi
[ "$qt" = 6 ] && echo "-DBUILD_WITH_QT6=ON" || echo "-DBUILD_WITH_QT6=OFF"
