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
// libhd's order, their records built with the given details (the filter on
// candidate modules needs and adds Device::Modules). A caller that waits for the
// result can have env prefetch what the details need first.
QList<Device> enumerate(Filter filter, DriverEnvironment &env, Device::Details details = Device::AllDetails);
}
