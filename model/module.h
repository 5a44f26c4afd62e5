// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// One kernel module that can drive a GPU.
struct Module {
    QString realName; // as libhd's driver info names it, e.g. nvidia_current
    QString displayName; // the kernel's own name, read from the module file
    QString path; // the module file below the running kernel's tree, empty if not found

    bool operator==(const Module &other) const
    {
        return realName == other.realName && displayName == other.displayName && path == other.path;
    }
};
