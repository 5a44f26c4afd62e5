// SPDX-License-Identifier: GPL-2.0-or-later
#include "actions.h"
#include "actionplugin.h"
#include "securebootreport.h"
#include "xserver.h"

#include <KLocalizedString>

QString argument(const QStringList &arguments, int index)
{
    return arguments.value(index);
}

bool isCurrentXorgDriver(const QString &driver, const QString &current)
{
    return !current.isEmpty() && driver.contains(current, Qt::CaseInsensitive);
}

QTextStream &standardOutput()
{
    static QTextStream stream(stdout);
    return stream;
}

QMap<QString, ActionSpec> actionTable()
{
    const ArgumentSpec gpu{QStringLiteral("GPU"), i18n("GPU BusID, name or vendor")};
    QMap<QString, ActionSpec> table;
    table.insert(QStringLiteral("list-gpus"), {listGpus, {}, i18n("Lists available GPUs"), {}, {}});
    table.insert(QStringLiteral("list-modules"),
                 {listModules,
                  {gpu},
                  i18n("Lists kernel modules for the specified GPU"),
                  Device::Modules,
                  {{QLatin1String(secureBootOption), i18n("Also shows whether each module loads under Secure Boot")}}});
    table.insert(QStringLiteral("list-xorg"),
                 {listXorg, {gpu}, i18n("Lists ALL (even incompatible) XOrg drivers and current XOrg driver for the specified GPU"), Device::XorgDriver, {}});
    table.insert(QStringLiteral("list-packages"),
                 {pluginAction(QStringLiteral("list-packages")),
                  {gpu},
                  i18n("Lists all available for installation and installed driver packages which are compatible with the specified GPU"),
                  {},
                  {{QLatin1String(explainOption), i18n("Also shows why each package is listed")}}});
    table.insert(QStringLiteral("set-module"),
                 {pluginAction(QStringLiteral("set-module")),
                  {gpu, {QStringLiteral("new-module"), i18n("Kernel module that will be set as active")}},
                  i18n("Sets new kernel module for the specified GPU"),
                  Device::AllDetails,
                  {{QLatin1String(ignoreSecureBootOption), i18n("Switches even to a module that Secure Boot will keep from loading")}}});
    table.insert(QStringLiteral("set-xorg"),
                 {pluginAction(QStringLiteral("set-xorg")),
                  {gpu, {QStringLiteral("new-driver"), i18n("XOrg driver that will be set as active")}},
                  i18n("Sets new XOrg driver for the specified GPU"),
                  Device::AllDetails,
                  {}});
    return table;
}

QList<Device>::iterator findGpu(QList<Device> &gpus, const QString &argument)
{
    for (auto it = gpus.begin(); it != gpus.end(); ++it) {
        if (argument == it->model() || argument == it->sysfsBusId() || argument == it->vendorName()) {
            return it;
        }
    }
    standardOutput() << i18n("Couldn't find GPU by BusID / Model / Vendor using argument ") << argument << Qt::endl;
    return gpus.end();
}

int listGpus(const QStringList &, const QStringList &, QList<Device> &gpus)
{
    for (const Device &gpu : qAsConst(gpus)) {
        standardOutput() << "Bus id: " << gpu.sysfsBusId() << " Model: " << gpu.model() << " Vendor: " << gpu.vendorName() << Qt::endl;
    }
    return 0;
}

int listModules(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    standardOutput() << i18n("Kernel modules for ") << argument(arguments, 1) << Qt::endl;
    const QList<Module> modules = gpu->driverList();
    for (const Module &module : modules) {
        standardOutput() << module.displayName;
        // A GPU bound to none of its candidates (or to no driver) has no current one.
        if (gpu->isBoundToCandidate() && module.displayName == gpu->currentDriver().displayName) {
            standardOutput() << " (current)";
        }
        standardOutput() << Qt::endl;
    }
    if (options.contains(QLatin1String(secureBootOption))) {
        const SecureBoot secureBoot{QString()};
        standardOutput() << SecureBootReport::state(secureBoot.state()) << Qt::endl;
        standardOutput() << SecureBootReport::dkmsKey(secureBoot) << Qt::endl;
        for (const Module &module : modules) {
            standardOutput() << SecureBootReport::module(module.displayName, secureBoot.check(module.path)) << Qt::endl;
        }
    }
    return 0;
}

int listXorg(const QStringList &arguments, const QStringList &, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString current = gpu->xorgDriver();
    const QStringList drivers = XServer::installedXOrgDrivers();
    for (const QString &driver : drivers) {
        standardOutput() << driver;
        // The log names a driver by its screen tag (modeset, or NVIDIA in capitals), its
        // file by the full name (modesetting, nvidia).
        if (isCurrentXorgDriver(driver, current)) {
            standardOutput() << " (current)";
        }
        standardOutput() << Qt::endl;
    }
    return 0;
}
