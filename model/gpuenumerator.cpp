// SPDX-License-Identifier: GPL-2.0-or-later
#include "gpuenumerator.h"
#include "driverenvironment.h"

#include <QSet>

#include <hd.h>

#include <cstdlib>
#include <memory>

namespace
{
struct HdDataDeleter {
    void operator()(hd_data_t *data) const
    {
        hd_free_hd_data(data);
        std::free(data);
    }
};
}

QList<Device> GpuEnumerator::enumerate(Filter filter, DriverEnvironment &env, Device::Details details)
{
    if (filter == Filter::WithCandidateModules) {
        details |= Device::Modules;
    }
    // A fresh context per probe: libhd caches the sysfs driver list in it.
    std::unique_ptr<hd_data_t, HdDataDeleter> data(static_cast<hd_data_t *>(std::calloc(1, sizeof(hd_data_t))));
    hd_t *list = hd_list(data.get(), hw_pci, 1, nullptr);

    QList<const hd_t *> displays;
    QSet<QString> candidates;
    for (const hd_t *hd = list; hd; hd = hd->next) {
        if (Device::isDisplayController(hd)) {
            displays.append(hd);
            if (details & Device::Modules) {
                const QStringList names = Device::candidateModules(hd);
                for (const QString &name : names) {
                    candidates.insert(name);
                }
            }
        }
    }
    // One walk of the module tree for the candidates of every GPU, unless a
    // prefetch has walked it all.
    candidates.remove(QString());
    if (!candidates.isEmpty()) {
        env.moduleTree().locate(candidates);
    }

    QList<Device> gpus;
    for (const hd_t *hd : std::as_const(displays)) {
        Device device(hd, env, details);
        if (filter == Filter::AllDisplayControllers || !device.driverList().isEmpty()) {
            gpus.append(device);
        }
    }
    hd_free_hd_list(list);
    return gpus;
}
