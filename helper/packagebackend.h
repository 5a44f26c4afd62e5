// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// What carries out a package job: marks the packages, tells what the plan would
// remove before anything changes, and runs it. The helper decides whether the
// plan may go ahead and whether its result is what was asked for; the back end
// only answers for its package manager. Two of them: libqapt's worker, where
// libqapt exists (Qt 5), and apt-get driven through its status descriptor.
class PackageBackend
{
public:
    enum class Result { Done, Cancelled, Failed };
    struct Outcome {
        Result result = Result::Failed;
        QString error;
    };

    virtual ~PackageBackend() = default;

    // The back end this helper was built with.
    static std::unique_ptr<PackageBackend> create();

    // Reads the package system afresh for a new job and forgets earlier marks.
    virtual bool open() = 0;
    // Whether the archive has a version of name to install, or it is installed.
    virtual bool has(const QString &name) = 0;
    virtual void markInstall(const QString &name) = 0;
    virtual void markPurge(const QString &name) = 0;
    // Every package the marked changes would remove, as the package manager
    // plans them; false with error set when it cannot plan them.
    virtual bool plannedRemovals(QStringList *removals, QString *error) = 0;
    // Runs the marked changes. progress hears 0 to 100; stopRequested is asked
    // now and then, and a stop cancels the job only while no package has been
    // touched: once dpkg runs the job goes to its end. Nothing is ever killed.
    virtual Outcome commit(const std::function<void(int)> &progress, const std::function<bool()> &stopRequested) = 0;
};
