// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "packagebackend.h"

#include <QApt/Backend>

namespace QApt
{
class Transaction;
}

// Package jobs through libqapt: its worker, a D-Bus service of its own, runs
// the transaction as root.
class QAptPackageBackend : public PackageBackend
{
public:
    bool open() override;
    bool has(const QString &name) override;
    void markInstall(const QString &name) override;
    void markPurge(const QString &name) override;
    bool plannedRemovals(QStringList *removals, QString *error) override;
    Outcome commit(const std::function<void(int)> &progress, const std::function<bool()> &stopRequested) override;

private:
    // After a stop request: cancels the transaction if the worker still can.
    static void cancelIfPossible(QApt::Transaction *transaction);

    // Made on the first job: libqapt connects to the system bus as it is
    // constructed, and the helper object exists before KAuth sets up the
    // application and registers the helper on that bus.
    std::unique_ptr<QApt::Backend> m_backend;
};
