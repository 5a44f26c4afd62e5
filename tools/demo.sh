#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs, builds, and runs the listing actions of orlix-admin-driver on the
# bundled sample machine (a hybrid Intel + NVIDIA laptop), since build machines
# have no GPU. On a machine with a GPU, run build/bin/orlix-admin-driver directly.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/tools/install-deps.sh"
BUILD_DIR=$build "$top/tools/build.sh"
machine=${MACHINE:-hybrid-laptop}
run() {
    echo "\$ orlix-admin-driver $*"
    python3 "$top/tests/fakemachine/fakemachine.py" --profile "$machine" --bind "$build" -- "$build/bin/orlix-admin-driver" "$@"
    echo
}
run list-gpus
run list-modules PCI:1@0:0:0
run list-xorg PCI:1@0:0:0
run list-packages PCI:1@0:0:0

# A switch through the helper: the project is installed into the machine, which
# gets a system bus and polkitd; the helper rewrites the modprobe configuration
# and writes the XOrg snippet (effective after a reboot).
echo "\$ orlix-admin-driver set-module PCI:1@0:0:0 nouveau; orlix-admin-driver set-xorg PCI:1@0:0:0 nouveau"
python3 "$top/tests/fakemachine/fakemachine.py" --profile switch-laptop --install "$build" --services -- sh -c '
    orlix-admin-driver set-module PCI:1@0:0:0 nouveau && orlix-admin-driver set-xorg PCI:1@0:0:0 nouveau &&
    for f in /etc/modprobe.d/* /etc/X11/xorg.conf.d/*; do echo "== $f"; cat "$f"; done'
