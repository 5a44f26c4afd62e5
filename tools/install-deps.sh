#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what building and testing need (run as root): on Debian 12 the
# Qt 5 / KF5 build, on Debian 13 the Qt 6 / KF6 one.
set -eu
export DEBIAN_FRONTEND=noninteractive
. /etc/os-release
case "${VERSION_ID:-}" in
12)
    frameworks="qtbase5-dev libkf5auth-dev libkf5coreaddons-dev libkf5i18n-dev
        libkf5configwidgets-dev libkf5widgetsaddons-dev libkf5kcmutils-dev libkf5service-dev
        libqapt-dev libqapt3-runtime"
    clangrt=libclang-rt-14-dev
    ;;
13)
    # libqapt is built for Qt 5 only: the Qt 6 helper drives apt-get itself.
    frameworks="qt6-base-dev qt6-base-dev-tools libkf6auth-dev libkf6coreaddons-dev libkf6i18n-dev
        libkf6configwidgets-dev libkf6widgetsaddons-dev libkf6kcmutils-dev"
    # llvm: the symbolizer that gives the sanitizers' reports their function names.
    clangrt="libclang-rt-dev llvm"
    ;;
*)
    echo "install-deps.sh: Debian 12 or 13 is needed, this is ${PRETTY_NAME:-unknown}" >&2
    exit 1
    ;;
esac
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends \
    build-essential cmake extra-cmake-modules pkg-config $frameworks \
    kde-cli-tools systemsettings breeze-icon-theme xvfb x11-utils picom glmark2-x11 libgl1-mesa-dri \
    libhd-dev libapt-pkg-dev liblzma-dev libzstd-dev zlib1g-dev libyaml-dev \
    dbus-daemon dbus-bin dbus-system-bus-common polkitd libglib2.0-bin procps \
    git python3 python3-apt appstream util-linux kmod xz-utils zstd gzip dpkg-dev apt-utils ca-certificates gettext openssl \
    debhelper lintian bash-completion man-db groff-base initramfs-tools plymouth locales \
    clang $clangrt >/dev/null
# The German locale the translation tests run in: gettext translates nothing
# in the C locale, whatever LANGUAGE asks for.
locale -a 2>/dev/null | grep -qx de_DE.utf8 || localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
