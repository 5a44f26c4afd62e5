// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverswitchhelper.h"
#include "authorizationwatchdog.h"
#include "packagestate.h"
#include "requestvalidator.h"

#include <KAuth/HelperSupport>

#include <QApt/DependencyInfo>
#include <QApt/Transaction>
#include <QDebug>
#include <QEventLoop>
#include <QSequentialIterable>
#include <QTimer>

#include <memory>

DriverSwitchHelper::DriverSwitchHelper(const QString &root)
    : m_modprobe(root)
    , m_xorg(root)
    , m_backup(root)
{
}

KAuth::ActionReply DriverSwitchHelper::errorReply(const QString &text)
{
    KAuth::ActionReply reply = KAuth::ActionReply::HelperErrorReply();
    reply.setErrorDescription(text);
    return reply;
}

QVariantList DriverSwitchHelper::entriesOf(const QVariantMap &args)
{
    const QVariant data = args.value(QStringLiteral("data"));
    QVariantList entries;
    if (data.canConvert<QVariantList>()) {
        const QSequentialIterable iterable = data.value<QSequentialIterable>();
        for (const QVariant &element : iterable) {
            entries.append(element.toMap());
        }
    }
    return entries;
}

QVariantList DriverSwitchHelper::orderEntries(const QVariantList &entries)
{
    // 3D controllers (the second GPU of a hybrid laptop) last, in reverse order.
    QVariantList ordered;
    QVariantList controllers3d;
    for (const QVariant &entry : entries) {
        if (entry.toMap().value(QStringLiteral("classId")).toString() == QLatin1String("0302")) {
            controllers3d.prepend(entry);
        } else {
            ordered.append(entry);
        }
    }
    return ordered + controllers3d;
}

KAuth::ActionReply DriverSwitchHelper::replace(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QVariantList requested = entriesOf(args);
    // Checked in the order sent, so that a refusal names the entry as the client knows it.
    const QString refusal = RequestValidator::checkReplace(requested);
    if (!refusal.isEmpty()) {
        return errorReply(refusal);
    }
    const QVariantList entries = orderEntries(requested);
    // Each request carries every GPU it concerns: sections of an earlier request
    // must not be written again.
    m_xorg.clear();
    m_backup.backupOnce();
    for (const QVariant &value : entries) {
        const QVariantMap entry = value.toMap();
        const auto text = [&entry](const char *key) {
            return entry.value(QLatin1String(key)).toString();
        };
        const ModuleSwitch names{text("currentKernelModuleRealName"),
                                 text("currentKernelModuleDisplayName"),
                                 text("newKernelModuleRealName"),
                                 text("newKernelModuleDisplayName")};
        if (names.newRealName != names.currentRealName) {
            const QString failure = m_modprobe.switchModule(names);
            if (!failure.isEmpty()) {
                return errorReply(failure);
            }
        }
        if (!text("XOrgDriver").isEmpty()) {
            m_xorg.appendDeviceSection(text("modelName"), text("busId"), text("XOrgDriver"));
        }
    }
    if (!m_xorg.writeXOrgConfig()) {
        return errorReply(QStringLiteral("XOrg configuration update error"));
    }
    return KAuth::ActionReply::SuccessReply();
}

KAuth::ActionReply DriverSwitchHelper::install(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return errorReply(QStringLiteral("Didn't receive any drivers for installation"));
    }
    return processPackages(drivers, PackageMode::Install);
}

KAuth::ActionReply DriverSwitchHelper::remove(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return errorReply(QStringLiteral("Didn't receive any drivers for removal"));
    }
    return processPackages(drivers, PackageMode::Remove);
}

KAuth::ActionReply DriverSwitchHelper::tearing(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QString vendor = args.value(QStringLiteral("vendor")).toString();
    if (vendor != QLatin1String("amd") && vendor != QLatin1String("intel")) {
        return errorReply(QStringLiteral("Did not receive proper GPU vendor"));
    }
    const QString refusal = RequestValidator::checkTearing(args);
    if (!refusal.isEmpty()) {
        return errorReply(refusal);
    }
    if (!m_xorg.writeTearingSnippet(vendor, args.value(QStringLiteral("driverName")).toString(), args.value(QStringLiteral("shouldEnable")).toString())) {
        return errorReply(QStringLiteral("Cannot write to XOrg config file"));
    }
    return KAuth::ActionReply::SuccessReply();
}

KAuth::ActionReply DriverSwitchHelper::processPackages(const QStringList &names, PackageMode mode)
{
    const QString refusal = RequestValidator::checkPackages(names);
    if (!refusal.isEmpty()) {
        return errorReply(refusal);
    }
    // KAuth keeps a stop request until the end of the action it arrives in, and one
    // that arrives between actions (which anyone on the bus may send) until the end
    // of the next. Set already now, it is such a stale one: it must not cancel this job.
    const bool staleStop = KAuth::HelperSupport::isStopped();
    m_backup.backupOnce();
    if (m_backend) {
        m_backend->reloadCache();
    } else {
        m_backend = std::make_unique<QApt::Backend>();
        m_backend->init();
    }
    for (const QString &name : names) {
        QApt::Package *package = m_backend->package(name);
        if (!package) {
            return errorReply(QStringLiteral("Cannot find package %1").arg(name));
        }
        if (mode == PackageMode::Install) {
            package->setInstall();
        } else {
            purgeDependencies(package);
            package->setPurge();
        }
    }

    // The job owns its transaction and releases it once, when the job ends.
    std::unique_ptr<QApt::Transaction, void (*)(QApt::Transaction *)> transaction(m_backend->commitChanges(), [](QApt::Transaction *t) {
        if (t) {
            t->deleteLater();
        }
    });
    if (!transaction) {
        return errorReply(QStringLiteral("Cannot start the package transaction"));
    }
    connect(transaction.get(), &QApt::Transaction::progressChanged, this, [](int progress) {
        // The worker reports 101 while it cannot tell.
        if (progress >= 0 && progress <= 100) {
            KAuth::HelperSupport::progressStep(progress);
        }
    });
    QEventLoop loop;
    bool finished = false;
    const auto end = [&loop, &finished]() {
        finished = true;
        loop.exit(0);
    };
    connect(transaction.get(), &QApt::Transaction::finished, &loop, end);
    // A transaction the worker refused to run, or lost, may never report finished.
    connect(transaction.get(), &QApt::Transaction::errorOccurred, &loop, [&end, &transaction](QApt::ErrorCode error) {
        if (error == QApt::AuthError || (error == QApt::WorkerDisappeared && transaction->exitStatus() == QApt::ExitUnfinished)) {
            end();
        }
    });
    transaction->run();

    // The timer lives as long as this job's wait: it can never tick for a job
    // that has ended.
    QTimer watchdog;
    bool stopRequested = false;
    connect(&watchdog, &QTimer::timeout, this, [&stopRequested, staleStop, &transaction]() {
        stopRequested = stopRequested || (!staleStop && KAuth::HelperSupport::isStopped());
        if (stopRequested) {
            cancelIfPossible(transaction.get());
        }
    });
    watchdog.start(1000);
    if (!finished) {
        loop.exec();
    }
    watchdog.stop();
    disconnect(transaction.get(), nullptr, this, nullptr);
    disconnect(transaction.get(), nullptr, &loop, nullptr);

    if (transaction->exitStatus() == QApt::ExitCancelled) {
        return errorReply(QStringLiteral("The package transaction was cancelled"));
    }
    if (transaction->error() != QApt::Success) {
        return errorReply(transaction->errorString());
    }
    if (transaction->exitStatus() != QApt::ExitSuccess) {
        return errorReply(QStringLiteral("The package transaction did not complete"));
    }
    // The worker reports success even when it could not run dpkg at all, and counts
    // a half-configured package as installed: a success reply must mean the
    // packages are in place (or gone).
    const QString incomplete = PackageState::check(names, mode == PackageMode::Install);
    if (!incomplete.isEmpty()) {
        return errorReply(incomplete);
    }
    return KAuth::ActionReply::SuccessReply();
}

void DriverSwitchHelper::cancelIfPossible(QApt::Transaction *transaction)
{
    // Only the worker can stop its transaction safely, and only while it prepares
    // or downloads: stopping dpkg would leave packages half-configured. So a stop
    // cancels where the worker allows it and otherwise lets the job finish; the
    // worker's answer counts, as the flag seen here may be out of date. Nothing is
    // ever killed.
    if (transaction->isCancellable() && !transaction->isCancelled()) {
        qDebug() << "Stop requested: cancelling the package transaction";
        transaction->cancel();
    }
}

void DriverSwitchHelper::purgeDependencies(QApt::Package *package)
{
    QStringList names;
    const QList<QApt::DependencyItem> groups = package->depends() + package->recommends();
    for (const QApt::DependencyItem &group : groups) {
        for (const QApt::DependencyInfo &alternative : group) {
            names.append(alternative.packageName());
        }
    }
    names.append(package->name());
    for (const QString &name : qAsConst(names)) {
        QApt::Package *candidate = m_backend->package(name);
        if (!candidate) {
            continue;
        }
        bool neededElsewhere = false;
        const QStringList requirers = candidate->requiredByList();
        for (const QString &requirer : requirers) {
            const QApt::Package *other = m_backend->package(requirer);
            neededElsewhere = neededElsewhere || (other && other->isInstalled() && !names.contains(requirer));
        }
        if (!neededElsewhere) {
            candidate->setPurge();
        }
    }
}
