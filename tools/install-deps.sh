#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what building and testing need on Debian 12 (run as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential cmake extra-cmake-modules pkg-config \
    qtbase5-dev libkf5auth-dev libkf5coreaddons-dev libkf5i18n-dev \
    libkf5configwidgets-dev libkf5widgetsaddons-dev libkf5kcmutils-dev libkf5service-dev \
    kde-cli-tools systemsettings breeze-icon-theme xvfb x11-utils picom glmark2-x11 libgl1-mesa-dri \
    libhd-dev libqapt-dev libapt-pkg-dev liblzma-dev libzstd-dev zlib1g-dev libyaml-dev \
    libqapt3-runtime dbus-daemon dbus-bin dbus-system-bus-common polkitd libglib2.0-bin procps \
    python3 python3-apt appstream util-linux kmod xz-utils zstd gzip dpkg-dev apt-utils ca-certificates gettext openssl \
    debhelper lintian bash-completion man-db groff-base initramfs-tools plymouth \
    clang libclang-rt-14-dev >/dev/null
