// SPDX-License-Identifier: GPL-2.0-or-later
#include "actions.h"
#include "actionplugin.h"
#include "jsonoutput.h"
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

void reportError(const QString &text)
{
    if (JsonOutput::enabled()) {
        JsonOutput::printError(text);
    } else {
        standardOutput() << text << Qt::endl;
    }
}

QMap<QString, ActionSpec> actionTable()
{
    const ArgumentSpec gpu{QStringLiteral("GPU"), i18n("GPU BusID, name or vendor")};
    const ArgumentSpec json{QLatin1String(jsonOption), i18n("Answers with one JSON document, for scripts")};
    const ArgumentSpec dryRun{QLatin1String(dryRunOption), i18n("Changes nothing: shows, as a diff of each file, what the switch would write")};
    QMap<QString, ActionSpec> table;
    table.insert(QStringLiteral("list-gpus"), {listGpus, {}, i18n("Lists available GPUs"), {}, {json}, Device::AllDetails});
    table.insert(QStringLiteral("list-modules"),
                 {listModules,
                  {gpu},
                  i18n("Lists kernel modules for the specified GPU"),
                  Device::Modules,
                  {{QLatin1String(secureBootOption), i18n("Also shows whether each module loads under Secure Boot")}, json},
                  Device::Modules});
    table.insert(QStringLiteral("list-xorg"),
                 {listXorg,
                  {gpu},
                  i18n("Lists ALL (even incompatible) XOrg drivers and current XOrg driver for the specified GPU"),
                  Device::XorgDriver,
                  {json},
                  Device::XorgDriver});
    table.insert(QStringLiteral("list-packages"),
                 {pluginAction(QStringLiteral("list-packages")),
                  {gpu},
                  i18n("Lists all available for installation and installed driver packages which are compatible with the specified GPU"),
                  {},
                  {{QLatin1String(explainOption), i18n("Also shows why each package is listed")}, json},
                  {}});
    table.insert(QStringLiteral("set-module"),
                 {pluginAction(QStringLiteral("set-module")),
                  {gpu, {QStringLiteral("new-module"), i18n("Kernel module that will be set as active")}},
                  i18n("Sets new kernel module for the specified GPU"),
                  Device::AllDetails,
                  {{QLatin1String(ignoreSecureBootOption), i18n("Switches even to a module that Secure Boot will keep from loading")}, dryRun, json}});
    table.insert(QStringLiteral("set-xorg"),
                 {pluginAction(QStringLiteral("set-xorg")),
                  {gpu, {QStringLiteral("new-driver"), i18n("XOrg driver that will be set as active")}},
                  i18n("Sets new XOrg driver for the specified GPU"),
                  Device::AllDetails,
                  {dryRun, json}});
    return table;
}

QList<Device>::iterator findGpu(QList<Device> &gpus, const QString &argument)
{
    for (auto it = gpus.begin(); it != gpus.end(); ++it) {
        if (argument == it->model() || argument == it->sysfsBusId() || argument == it->vendorName()) {
            return it;
        }
    }
    reportError(i18n("Couldn't find GPU by BusID / Model / Vendor using argument ") + argument);
    return gpus.end();
}

int listGpus(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)
{
    if (JsonOutput::enabled()) {
        // The whole machine, packages included, which only the plug-in reads.
        return pluginAction(QStringLiteral("list-gpus"))(arguments, options, gpus);
    }
    for (const Device &gpu : std::as_const(gpus)) {
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
    const bool withSecureBoot = options.contains(QLatin1String(secureBootOption));
    if (JsonOutput::enabled()) {
        const SecureBoot secureBoot{QString()};
        QJsonObject document{{QStringLiteral("gpu"), JsonOutput::gpu(*gpu)},
                             {QStringLiteral("modules"), JsonOutput::modules(*gpu, withSecureBoot ? &secureBoot : nullptr)}};
        if (withSecureBoot) {
            document.insert(QStringLiteral("secureBoot"), JsonOutput::secureBoot(secureBoot));
        }
        JsonOutput::print(document);
        return 0;
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
    if (withSecureBoot) {
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
    if (JsonOutput::enabled()) {
        JsonOutput::print({{QStringLiteral("gpu"), JsonOutput::gpu(*gpu)}, {QStringLiteral("xorg"), JsonOutput::xorg(*gpu)}});
        return 0;
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
