// SPDX-License-Identifier: GPL-2.0-or-later
// The actions that read APT's package cache or call the privileged helper.
#include "actionplugin.h"
#include "actions.h"
#include "driverpackages.h"
#include "dryrun.h"
#include "jsonoutput.h"
#include "replaceaction.h"
#include "securebootreport.h"
#include "xserver.h"

#include <KLocalizedString>

#include <QJsonArray>
#include <QTextStream>

#include <algorithm>

class AptHelperActions : public QObject, public ActionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ActionPlugin_iid)
    Q_INTERFACES(ActionPlugin)

public:
    ActionHandler handler(const QString &name) const override
    {
        static const QMap<QString, ActionHandler> handlers{
            {QStringLiteral("list-gpus"), listGpusJson},
            {QStringLiteral("list-packages"), listPackages},
            {QStringLiteral("set-module"), setModule},
            {QStringLiteral("set-xorg"), setXorg},
        };
        const ActionHandler handler = handlers.value(name);
        if (!handler) {
            return handler;
        }
        // The plug-in has its own copy of the tool's output state.
        return [handler](const QStringList &arguments, const QStringList &options, QList<Device> &gpus) {
            JsonOutput::setEnabled(options.contains(QLatin1String(jsonOption)));
            return handler(arguments, options, gpus);
        };
    }
};

namespace
{
QString sourceName(PackageEvidence::Source source)
{
    switch (source) {
    case PackageEvidence::Source::ControlField:
        return QStringLiteral("modaliases");
    case PackageEvidence::Source::AppStream:
        return QStringLiteral("appstream");
    case PackageEvidence::Source::NvidiaList:
        return QStringLiteral("nvidia-list");
    }
    return QString();
}

QJsonArray packagesJson(const QVector<DriverPackage> &packages)
{
    QJsonArray array;
    for (const DriverPackage &package : packages) {
        QJsonArray evidence;
        for (const PackageEvidence &item : package.evidence) {
            evidence.append(QJsonObject{{QStringLiteral("source"), sourceName(item.source)},
                                        {QStringLiteral("origin"), item.origin.isEmpty() ? QJsonValue() : QJsonValue(item.origin)},
                                        {QStringLiteral("pattern"), item.pattern}});
        }
        array.append(
            QJsonObject{{QStringLiteral("name"), package.name}, {QStringLiteral("installed"), package.installed}, {QStringLiteral("evidence"), evidence}});
    }
    return array;
}

QString explanation(const PackageEvidence &evidence)
{
    switch (evidence.source) {
    case PackageEvidence::Source::ControlField:
        return i18n("Modaliases field: %1", evidence.pattern);
    case PackageEvidence::Source::AppStream:
        return i18n("AppStream component %1: %2", evidence.origin, evidence.pattern);
    case PackageEvidence::Source::NvidiaList:
        return i18n("NVIDIA list %1: %2", evidence.origin, evidence.pattern);
    }
    return QString();
}
}

int listPackages(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString modalias = gpu->modalias();
    const DriverPackages known = DriverPackages::read();
    const QVector<DriverPackage> packages = known.covering(modalias);
    if (JsonOutput::enabled()) {
        JsonOutput::print({{QStringLiteral("gpu"), JsonOutput::gpu(*gpu)},
                           {QStringLiteral("packages"), packagesJson(packages)},
                           {QStringLiteral("nvidiaListsMissing"), known.lacksNvidiaLists(modalias)}});
        return 0;
    }
    const bool explain = options.contains(QLatin1String(explainOption));
    for (const DriverPackage &package : packages) {
        standardOutput() << package.name;
        if (package.installed) {
            standardOutput() << " (installed)";
        }
        standardOutput() << Qt::endl;
        if (explain) {
            for (const PackageEvidence &evidence : package.evidence) {
                standardOutput() << "    " << explanation(evidence) << Qt::endl;
            }
        }
    }
    if (packages.isEmpty()) {
        standardOutput() << i18n("Cannot find any compatible driver packages") << Qt::endl;
    }
    if (known.lacksNvidiaLists(modalias)) {
        QTextStream(stderr) << i18n("Which NVIDIA drivers support this GPU is known only with nvidia-detect installed, which the archive offers.") << Qt::endl;
    }
    return 0;
}

namespace
{
// Sends the switch to the helper; says while the initramfs is rebuilt, and
// when it was.
int replace(Device &gpu, const QString &xorgDriver, const QStringList &options)
{
    if (options.contains(QLatin1String(dryRunOption))) {
        return DryRun::print(DryRun::preview({{QStringLiteral("data"), QVariantList{replaceRequestEntry(gpu, !xorgDriver.isEmpty())}}}));
    }
    bool announced = false;
    const HelperReply reply = runReplaceAction(gpu, xorgDriver, [&announced](const QVariantMap &step) {
        // The helper repeats the step every few seconds, to show it still works.
        if (initramfsUpdating(step) && !announced) {
            announced = true;
            QTextStream(stderr) << i18n("Updating the initramfs %1, which takes a while…", initramfsImageOf(step)) << Qt::endl;
        }
    });
    if (JsonOutput::enabled()) {
        const QString initramfs = reply.data.value(QStringLiteral("initramfs")).toString();
        QJsonObject document;
        if (!reply.succeeded) {
            document.insert(QStringLiteral("error"), !reply.errorText.isEmpty() ? reply.errorText : reply.errorString);
        }
        // A failure may come after files were written.
        document.insert(QStringLiteral("changed"), reply.data.value(QStringLiteral("changed")).toBool());
        if (reply.succeeded || initramfsFailed(reply.data)) {
            document.insert(QStringLiteral("initramfs"), initramfs);
            document.insert(QStringLiteral("initramfsImage"), initramfs == QLatin1String("none") ? QJsonValue() : QJsonValue(initramfsImageOf(reply.data)));
        }
        JsonOutput::print(document);
        return reply.succeeded ? 0 : -1;
    }
    if (!reply.succeeded) {
        // Written, but not yet in force: the administrator's next step.
        if (initramfsFailed(reply.data)) {
            QTextStream(stderr) << reply.errorText << Qt::endl;
        }
        return -1;
    }
    if (initramfsUpdated(reply.data)) {
        standardOutput() << i18n("The initramfs %1 was updated.", initramfsImageOf(reply.data)) << Qt::endl;
    }
    return 0;
}
}

int listGpusJson(const QStringList &, const QStringList &, QList<Device> &gpus)
{
    // Everything of every GPU, for one call per machine.
    const DriverPackages known = DriverPackages::read();
    QJsonArray array;
    for (const Device &gpu : std::as_const(gpus)) {
        QJsonObject object = JsonOutput::gpu(gpu);
        object.insert(QStringLiteral("modules"), JsonOutput::modules(gpu, nullptr));
        object.insert(QStringLiteral("xorg"), JsonOutput::xorg(gpu));
        object.insert(QStringLiteral("packages"), packagesJson(known.covering(gpu.modalias())));
        object.insert(QStringLiteral("nvidiaListsMissing"), known.lacksNvidiaLists(gpu.modalias()));
        array.append(object);
    }
    JsonOutput::print({{QStringLiteral("gpus"), array}});
    return 0;
}

int setModule(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString wanted = argument(arguments, 2);
    const QList<Module> modules = gpu->driverList();
    const auto module = std::find_if(modules.cbegin(), modules.cend(), [&wanted](const Module &candidate) {
        return candidate.displayName == wanted;
    });
    if (module == modules.cend()) {
        reportError(i18n("Cannot find module ") + wanted + i18n(" for GPU ") + argument(arguments, 1));
        return -1;
    }
    // A module the kernel will refuse leaves the GPU without its driver after the
    // reboot, on a black screen or a fallback driver.
    if (!options.contains(QLatin1String(ignoreSecureBootOption))) {
        const SecureBoot secureBoot{QString()};
        const SecureBoot::ModuleCheck check = secureBoot.check(module->path);
        if (SecureBoot::refused(check.verdict)) {
            reportError(SecureBootReport::refusal(module->displayName, check) + QLatin1Char('\n')
                        + i18n("Nothing was changed. To switch anyway, run the command again with --%1.", QLatin1String(ignoreSecureBootOption)));
            return -1;
        }
    }
    gpu->setNewDriver(module->realName);
    return replace(*gpu, QString(), options);
}

int setXorg(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString requested = argument(arguments, 2);
    if (isCurrentXorgDriver(requested, gpu->xorgDriver())) {
        reportError(i18n("You are trying to set current xorg driver"));
        return -1;
    }
    // A driver that is not installed would keep the X server from starting.
    if (!XServer::installedXOrgDrivers().contains(requested)) {
        reportError(i18n("XOrg driver \"%1\" is not installed; list-xorg shows the installed ones", requested));
        return -1;
    }
    gpu->updateXOrgDriver(requested);
    return replace(*gpu, requested, options);
}

#include "apthelperactions.moc"
