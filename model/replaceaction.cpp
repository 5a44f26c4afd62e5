// SPDX-License-Identifier: GPL-2.0-or-later
#include "replaceaction.h"
#include "device.h"
#include "helperid.h"

#include <KAuth/Action>
#include <KAuth/ExecuteJob>

#include <QDebug>

QVariantMap replaceRequestEntry(const Device &gpu, bool withXorgDriver)
{
    // A GPU without candidate modules has no current module to read.
    const bool hasModules = !gpu.driverList().isEmpty();
    const Module current = hasModules ? gpu.currentDriver() : Module();
    const Module chosen = hasModules ? gpu.newDriver() : Module();
    QVariantMap entry;
    entry.insert(QStringLiteral("newKernelModuleRealName"), chosen.realName);
    entry.insert(QStringLiteral("newKernelModuleDisplayName"), chosen.displayName);
    entry.insert(QStringLiteral("currentKernelModuleRealName"), current.realName);
    entry.insert(QStringLiteral("currentKernelModuleDisplayName"), current.displayName);
    if (withXorgDriver) {
        entry.insert(QStringLiteral("XOrgDriver"), gpu.xorgDriver());
    }
    entry.insert(QStringLiteral("modelName"), gpu.model());
    entry.insert(QStringLiteral("busId"), gpu.sysfsBusId());
    entry.insert(QStringLiteral("classId"), gpu.classId());
    return entry;
}

bool runReplaceAction(Device &gpu, const QString &xorgDriver)
{
    const QVariantMap arguments{{QStringLiteral("data"), QVariantList{replaceRequestEntry(gpu, !xorgDriver.isEmpty())}}};
    KAuth::Action action(QStringLiteral(KIV_HELPER_ID ".replace"));
    action.setHelperId(QStringLiteral(KIV_HELPER_ID));
    action.setArguments(arguments);
    KAuth::ExecuteJob *job = action.execute();
    const bool succeeded = job->exec();
    if (!succeeded) {
        qDebug() << "D-Bus helper error: " << job->errorString();
        qDebug() << "Error code: " << job->error();
        qDebug() << "Error text: " << job->errorText();
    }
    return succeeded;
}
