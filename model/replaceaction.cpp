// SPDX-License-Identifier: GPL-2.0-or-later
#include "replaceaction.h"
#include "device.h"
#include "helperjob.h"

#include <QDebug>

HelperReply runHelperAction(const QString &word, const QVariantMap &arguments, const std::function<void(const QVariantMap &)> &onStep)
{
    auto *job = new HelperJob(word, arguments);
    if (onStep) {
        QObject::connect(job, &HelperJob::stepData, job, onStep);
    }
    HelperReply reply;
    reply.succeeded = job->exec();
    reply.code = job->error();
    reply.errorString = job->errorString();
    reply.errorText = job->errorText();
    reply.data = job->replyData();
    return reply;
}

QString initramfsImageOf(const QVariantMap &data)
{
    return data.value(QStringLiteral("initramfsImage")).toString();
}

bool initramfsUpdated(const QVariantMap &reply)
{
    return reply.value(QStringLiteral("initramfs")).toString() == QLatin1String("updated");
}

bool initramfsFailed(const QVariantMap &reply)
{
    return reply.value(QStringLiteral("initramfs")).toString() == QLatin1String("failed");
}

bool initramfsUpdating(const QVariantMap &step)
{
    return step.value(QStringLiteral("initramfs")).toString() == QLatin1String("updating");
}

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

void logHelperFailure(const HelperReply &reply)
{
    qDebug() << "D-Bus helper error: " << reply.errorString;
    qDebug() << "Error code: " << reply.code;
    qDebug() << "Error text: " << reply.errorText;
}

HelperReply runReplaceAction(Device &gpu, const QString &xorgDriver, const std::function<void(const QVariantMap &)> &onStep)
{
    const HelperReply reply =
        runHelperAction(QStringLiteral("replace"), {{QStringLiteral("data"), QVariantList{replaceRequestEntry(gpu, !xorgDriver.isEmpty())}}}, onStep);
    if (!reply.succeeded) {
        logHelperFailure(reply);
    }
    return reply;
}
