// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "device.h"

#include <QList>

class DriverEnvironment;

namespace GpuEnumerator
{
enum class Filter {
    AllDisplayControllers, // the command-line tool lists GPUs without candidate modules too
    WithCandidateModules, // the control module can only offer GPUs it can switch
};

// Probes the PCI bus with libhd, anew, and returns the display controllers in
// libhd's order.
QList<Device> enumerate(Filter filter, DriverEnvironment &env);
}
