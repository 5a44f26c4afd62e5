#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages from the source tree (its files that git tracks or
# would track) into ./build-deb (or $DEB_DIR) and checks them with lintian.
# The build dependencies are those of debian/control for this release's build
# profile (tools/install-deps.sh installs them).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${DEB_DIR:-$top/build-deb}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/kiv-admin-driver"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/kiv-admin-driver")
# With the frameworks of this release: Qt 6 / KF6 from Debian 13 on.
profiles=
[ "$("$top/tools/qt-option.sh")" = "-DBUILD_WITH_QT6=ON" ] && profiles=-Ppkg.kiv-admin-driver.qt6
(cd "$work/kiv-admin-driver" && dpkg-buildpackage -us -uc -b $profiles -j"$(nproc)" >"$work/build.log" 2>&1) || { tail -60 "$work/build.log"; exit 1; }
rm -rf "$out"
mkdir -p "$out"
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
echo "== lintian"
lintian --info --display-info --fail-on error,warning "$out"/*.changes
ls "$out"
