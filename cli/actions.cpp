// SPDX-License-Identifier: GPL-2.0-or-later
#include "actions.h"
#include "controlfieldreader.h"
#include "modalias.h"
#include "xserver.h"

#include <KLocalizedString>

#include <QApt/Backend>

namespace
{
QString tr(const char *text)
{
    return ki18nd("orlix-admin-driver", text).toString();
}

QString argument(const QStringList &arguments, int index)
{
    return arguments.value(index);
}
}

QTextStream &standardOutput()
{
    static QTextStream stream(stdout);
    return stream;
}

QMap<QString, ActionSpec> actionTable()
{
    const ArgumentSpec gpu{QStringLiteral("GPU"), tr("GPU BusID, name or vendor")};
    QMap<QString, ActionSpec> table;
    table.insert(QStringLiteral("list-gpus"), {listGpus, {}, tr("Lists available GPUs")});
    table.insert(QStringLiteral("list-modules"), {listModules, {gpu}, tr("Lists kernel modules for the specified GPU")});
    table.insert(QStringLiteral("list-xorg"),
                 {listXorg, {gpu}, tr("Lists ALL (even incompatible) XOrg drivers and current XOrg driver for the specified GPU")});
    table.insert(QStringLiteral("list-packages"),
                 {listPackages, {gpu}, tr("Lists all available for installation and installed driver packages which are compatible with the specified GPU")});
    return table;
}

QList<Device>::iterator findGpu(QList<Device> &gpus, const QString &argument)
{
    for (auto it = gpus.begin(); it != gpus.end(); ++it) {
        if (argument == it->model() || argument == it->sysfsBusId() || argument == it->vendorName()) {
            return it;
        }
    }
    standardOutput() << tr("Couldn't find GPU by BusID / Model / Vendor using argument ") << argument << Qt::endl;
    return gpus.end();
}

int listGpus(const QStringList &, QList<Device> &gpus)
{
    for (const Device &gpu : qAsConst(gpus)) {
        standardOutput() << "Bus id: " << gpu.sysfsBusId() << " Model: " << gpu.model() << " Vendor: " << gpu.vendorName() << Qt::endl;
    }
    return 0;
}

int listModules(const QStringList &arguments, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    standardOutput() << tr("Kernel modules for ") << argument(arguments, 1) << Qt::endl;
    const QList<Module> modules = gpu->driverList();
    for (const Module &module : modules) {
        standardOutput() << module.displayName;
        if (module.displayName == gpu->currentDriver().displayName) {
            standardOutput() << " (current)";
        }
        standardOutput() << Qt::endl;
    }
    return 0;
}

int listXorg(const QStringList &arguments, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString current = gpu->xorgDriver();
    const QStringList drivers = XServer::installedXOrgDrivers();
    for (const QString &driver : drivers) {
        standardOutput() << driver;
        // The log names a driver by its screen tag (modeset), its file by the full name (modesetting).
        if (!current.isEmpty() && driver.contains(current)) {
            standardOutput() << " (current)";
        }
        standardOutput() << Qt::endl;
    }
    return 0;
}

int listPackages(const QStringList &arguments, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString modalias = gpu->modalias();
    QApt::Backend backend;
    backend.init();
    backend.reloadCache();
    const QApt::PackageList packages = backend.availablePackages();
    const QStringList fields = ControlFieldReader::read(packages, QStringLiteral("Modaliases"));
    bool found = false;
    for (int i = 0; i < packages.size(); ++i) {
        if (!containsModalias(fields.at(i), modalias)) {
            continue;
        }
        found = true;
        standardOutput() << packages.at(i)->name();
        if (packages.at(i)->isInstalled()) {
            standardOutput() << " (installed)";
        }
        standardOutput() << Qt::endl;
    }
    if (!found) {
        standardOutput() << tr("Cannot find any compatible driver packages") << Qt::endl;
    }
    return 0;
}
