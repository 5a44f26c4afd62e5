// SPDX-License-Identifier: GPL-2.0-or-later
// The actions that read APT's package cache or call the privileged helper.
#include "actionplugin.h"
#include "actions.h"
#include "aptcatalog.h"
#include "modalias.h"
#include "replaceaction.h"
#include "securebootreport.h"
#include "xserver.h"

#include <KLocalizedString>

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
            {QStringLiteral("list-packages"), listPackages},
            {QStringLiteral("set-module"), setModule},
            {QStringLiteral("set-xorg"), setXorg},
        };
        return handlers.value(name);
    }
};

int listPackages(const QStringList &arguments, const QStringList &, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString modalias = gpu->modalias();
    // A package without the field matches no GPU, so only those with it are read.
    const QVector<AptCatalog::Package> packages = AptCatalog::withField(QStringLiteral("Modaliases"));
    bool found = false;
    for (const AptCatalog::Package &package : packages) {
        if (!containsModalias(package.field, modalias)) {
            continue;
        }
        found = true;
        standardOutput() << package.name;
        if (package.installed) {
            standardOutput() << " (installed)";
        }
        standardOutput() << Qt::endl;
    }
    if (!found) {
        standardOutput() << i18n("Cannot find any compatible driver packages") << Qt::endl;
    }
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
        standardOutput() << i18n("Cannot find module ") << wanted << i18n(" for GPU ") << argument(arguments, 1) << Qt::endl;
        return -1;
    }
    // A module the kernel will refuse leaves the GPU without its driver after the
    // reboot, on a black screen or a fallback driver.
    if (!options.contains(QLatin1String(ignoreSecureBootOption))) {
        const SecureBoot secureBoot{QString()};
        const SecureBoot::ModuleCheck check = secureBoot.check(module->path);
        if (SecureBoot::refused(check.verdict)) {
            standardOutput() << SecureBootReport::refusal(module->displayName, check) << Qt::endl;
            standardOutput() << i18n("Nothing was changed. To switch anyway, run the command again with --%1.", QLatin1String(ignoreSecureBootOption))
                             << Qt::endl;
            return -1;
        }
    }
    gpu->setNewDriver(module->realName);
    return runReplaceAction(*gpu, QString()) ? 0 : -1;
}

int setXorg(const QStringList &arguments, const QStringList &, QList<Device> &gpus)
{
    const auto gpu = findGpu(gpus, argument(arguments, 1));
    if (gpu == gpus.end()) {
        return -1;
    }
    const QString requested = argument(arguments, 2);
    if (isCurrentXorgDriver(requested, gpu->xorgDriver())) {
        standardOutput() << i18n("You are trying to set current xorg driver") << Qt::endl;
        return -1;
    }
    // A driver that is not installed would keep the X server from starting.
    if (!XServer::installedXOrgDrivers().contains(requested)) {
        standardOutput() << i18n("XOrg driver \"%1\" is not installed; list-xorg shows the installed ones", requested) << Qt::endl;
        return -1;
    }
    gpu->updateXOrgDriver(requested);
    return runReplaceAction(*gpu, requested) ? 0 : -1;
}

#include "apthelperactions.moc"
