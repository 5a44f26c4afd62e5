#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Regenerates the pictures in doc/: the control module and each of its dialogs on
# the sample laptop (Intel and NVIDIA GPUs, driver packages in its archive), under
# Xvfb in a fake machine with the project installed.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
BUILD_DIR=$build "$top/tools/build.sh" >/dev/null
driver="$build/bin/kcmdriver"
python3 "$top/tests/fakemachine/fakemachine.py" --profile helper-laptop --install "$build" --services --bind "$top/doc" -- sh -c "
    Xvfb :9 -screen 0 1280x800x24 -noreset >/dev/null 2>&1 & xvfb=\$!
    sleep 1
    export DISPLAY=:9 QT_QPA_PLATFORM=xcb
    d=$top/doc
    $driver wait gpu 1 shot \$d/main-window.png \
        answers shot=\$d/gpu-info.png click gpuInfo \
        answers shot=\$d/module-info.png click kernelModuleInfo \
        answers shot=\$d/tweaks-dialog.png click tweaks \
        answers shot=\$d/install-dialog.png install \
        answers shot=\$d/remove-dialog.png remove \
        answers nvidia-driver-440,shot=\$d/progress-dialog.png,shot=\$d/reboot-question.png install
    kill \$xvfb
"
ls -l "$top/doc"/*.png
