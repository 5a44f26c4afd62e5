// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverswitchhelper.h"
#include "requestvalidator.h"

#include <KAuth/HelperSupport>

#include <QApt/DependencyInfo>
#include <QApt/Transaction>
#include <QDebug>
#include <QEventLoop>
#include <QProcess>
#include <QSequentialIterable>
#include <QTimer>

#include <memory>
#include <signal.h>
#include <unistd.h>

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
    const QVariantList entries = orderEntries(entriesOf(args));
    const QString refusal = RequestValidator::checkReplace(entries);
    if (!refusal.isEmpty()) {
        return errorReply(refusal);
    }
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
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return errorReply(QStringLiteral("Didn't receive any drivers for installation"));
    }
    return processPackages(drivers, PackageMode::Install);
}

KAuth::ActionReply DriverSwitchHelper::remove(const QVariantMap &args)
{
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return errorReply(QStringLiteral("Didn't receive any drivers for removal"));
    }
    return processPackages(drivers, PackageMode::Remove);
}

KAuth::ActionReply DriverSwitchHelper::tearing(const QVariantMap &args)
{
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
        KAuth::HelperSupport::progressStep(progress);
    });
    QEventLoop loop;
    bool finished = false;
    connect(transaction.get(), &QApt::Transaction::finished, &loop, [&loop, &finished]() {
        finished = true;
        loop.exit(0);
    });
    transaction->run();
    QStringList pids = lockHolders();

    // The timer lives as long as this job's wait: it can never tick for a job
    // that has ended, nor reach its loop or process list afterwards.
    QTimer watchdog;
    connect(&watchdog, &QTimer::timeout, this, [this, &loop, &pids]() {
        // The worker takes the lock some time after the transaction was started,
        // often after the first probe: without a process to stop, a stop request
        // would be ignored until the transaction ends, so look again.
        if (pids.isEmpty() && KAuth::HelperSupport::isStopped()) {
            pids = lockHolders();
        }
        timeChecker(&loop, pids);
    });
    watchdog.start(1000);
    if (!finished) {
        loop.exec();
    }
    watchdog.stop();
    disconnect(transaction.get(), nullptr, this, nullptr);

    if (transaction->error() != QApt::Success) {
        return errorReply(transaction->errorString());
    }
    // The worker reports success even when it could not run dpkg at all: a
    // success reply must mean the packages are in place (or gone).
    m_backend->reloadCache();
    for (const QString &name : names) {
        const QApt::Package *package = m_backend->package(name);
        if (package && package->isInstalled() != (mode == PackageMode::Install)) {
            return errorReply(mode == PackageMode::Install ? QStringLiteral("Package %1 was not installed").arg(name)
                                                           : QStringLiteral("Package %1 was not removed").arg(name));
        }
    }
    return KAuth::ActionReply::SuccessReply();
}

QStringList DriverSwitchHelper::lockHolders() const
{
    QProcess fuser;
    fuser.start(QStringLiteral("/usr/bin/fuser"), {QStringLiteral("/var/lib/apt/lists/lock")});
    fuser.waitForFinished(-1);
    return QString::fromUtf8(fuser.readAllStandardOutput()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

void DriverSwitchHelper::timeChecker(QEventLoop *loop, const QStringList &pids)
{
    if (!KAuth::HelperSupport::isStopped()) {
        return;
    }
    for (const QString &pid : pids) {
        bool ok = false;
        const int number = pid.trimmed().toInt(&ok);
        if (ok && number > 0 && number != getpid()) {
            ::kill(number, SIGKILL);
            loop->exit(0);
        }
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
