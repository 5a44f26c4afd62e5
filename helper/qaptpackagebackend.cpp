// SPDX-License-Identifier: GPL-2.0-or-later
#include "qaptpackagebackend.h"

#include <QApt/Transaction>
#include <QDebug>
#include <QEventLoop>
#include <QTimer>

std::unique_ptr<PackageBackend> PackageBackend::create()
{
    return std::make_unique<QAptPackageBackend>();
}

bool QAptPackageBackend::open()
{
    if (m_backend) {
        return m_backend->reloadCache();
    }
    m_backend = std::make_unique<QApt::Backend>();
    return m_backend->init();
}

bool QAptPackageBackend::has(const QString &name)
{
    return m_backend->package(name) != nullptr;
}

void QAptPackageBackend::markInstall(const QString &name)
{
    if (QApt::Package *package = m_backend->package(name)) {
        package->setInstall();
    }
}

void QAptPackageBackend::markPurge(const QString &name)
{
    if (QApt::Package *package = m_backend->package(name)) {
        package->setPurge();
    }
}

bool QAptPackageBackend::plannedRemovals(QStringList *removals, QString *)
{
    removals->clear();
    const QApt::PackageList marked = m_backend->markedPackages();
    for (const QApt::Package *package : marked) {
        if (package->state() & (QApt::Package::ToRemove | QApt::Package::ToPurge)) {
            removals->append(package->name());
        }
    }
    return true;
}

PackageBackend::Outcome QAptPackageBackend::commit(const std::function<void(int)> &progress, const std::function<bool()> &stopRequested)
{
    // The job owns its transaction and releases it once, when the job ends.
    std::unique_ptr<QApt::Transaction, void (*)(QApt::Transaction *)> transaction(m_backend->commitChanges(), [](QApt::Transaction *t) {
        if (t) {
            t->deleteLater();
        }
    });
    if (!transaction) {
        return {Result::Failed, QStringLiteral("Cannot start the package transaction")};
    }
    QObject context;
    QObject::connect(transaction.get(), &QApt::Transaction::progressChanged, &context, [&progress](int percent) {
        // The worker reports 101 while it cannot tell.
        if (percent >= 0 && percent <= 100) {
            progress(percent);
        }
    });
    QEventLoop loop;
    bool finished = false;
    const auto end = [&loop, &finished]() {
        finished = true;
        loop.exit(0);
    };
    QObject::connect(transaction.get(), &QApt::Transaction::finished, &loop, end);
    // A transaction the worker refused to run, or lost, may never report finished.
    QObject::connect(transaction.get(), &QApt::Transaction::errorOccurred, &loop, [&end, &transaction](QApt::ErrorCode error) {
        if (error == QApt::AuthError || (error == QApt::WorkerDisappeared && transaction->exitStatus() == QApt::ExitUnfinished)) {
            end();
        }
    });
    transaction->run();

    // The timer lives as long as this job's wait: it can never tick for a job
    // that has ended.
    QTimer watchdog;
    bool stopped = false;
    QObject::connect(&watchdog, &QTimer::timeout, &context, [&stopped, &stopRequested, &transaction]() {
        stopped = stopped || stopRequested();
        if (stopped) {
            cancelIfPossible(transaction.get());
        }
    });
    watchdog.start(1000);
    if (!finished) {
        loop.exec();
    }
    watchdog.stop();
    QObject::disconnect(transaction.get(), nullptr, &context, nullptr);
    QObject::disconnect(transaction.get(), nullptr, &loop, nullptr);

    if (transaction->exitStatus() == QApt::ExitCancelled) {
        return {Result::Cancelled, QString()};
    }
    if (transaction->error() != QApt::Success) {
        return {Result::Failed, transaction->errorString()};
    }
    if (transaction->exitStatus() != QApt::ExitSuccess) {
        return {Result::Failed, QStringLiteral("The package transaction did not complete")};
    }
    return {Result::Done, QString()};
}

void QAptPackageBackend::cancelIfPossible(QApt::Transaction *transaction)
{
    // Only the worker can stop its transaction safely, and only while it prepares
    // or downloads: stopping dpkg would leave packages half-configured. So a stop
    // cancels where the worker allows it and otherwise lets the job finish; the
    // worker's answer counts, as the flag seen here may be out of date.
    if (transaction->isCancellable() && !transaction->isCancelled()) {
        qDebug() << "Stop requested: cancelling the package transaction";
        transaction->cancel();
    }
}
