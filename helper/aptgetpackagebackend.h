// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "packagebackend.h"

class PackageState;

// Package jobs through apt-get, the way Debian documents it for programs that
// drive APT: a simulation shows the plan, the packages are downloaded in a run of
// their own, and dpkg's part runs in a second, each reporting on the status
// descriptor ("dlstatus:" and "pmstatus:" lines). A stop is honoured while
// apt-get waits for APT's locks and at the end of the download, never by
// ending a process: the lock another program holds is never taken from it.
class AptGetPackageBackend : public PackageBackend
{
public:
    // One line of the status descriptor.
    struct Status {
        enum class Kind { None, Download, Package, Error, ConffilePrompt, MediaChange };
        Kind kind = Kind::None;
        QString package;
        double percent = 0;
        QString text;
    };
    static Status parseStatusLine(const QByteArray &line);
    // The packages a simulation's report removes ("Remv" and "Purg" lines).
    static QStringList removalsOfSimulation(const QByteArray &report);

    explicit AptGetPackageBackend(const QString &aptGet = QStringLiteral("/usr/bin/apt-get"));
    ~AptGetPackageBackend() override;

    bool open() override;
    bool has(const QString &name) override;
    void markInstall(const QString &name) override;
    void markPurge(const QString &name) override;
    bool plannedRemovals(QStringList *removals, QString *error) override;
    Outcome commit(const std::function<void(int)> &progress, const std::function<bool()> &stopRequested) override;

private:
    struct Run {
        bool started = false;
        int exitCode = -1;
        QByteArray output;
        QStringList errors;
    };
    // The command line of the job, with the options that make apt-get ask nothing.
    QStringList arguments(const QStringList &extra) const;
    Run run(const QStringList &arguments, const std::function<void(const Status &)> &onStatus) const;
    static bool lockedOut(const Run &run);
    static QString failureText(const Run &run);

    QString m_aptGet;
    // The package cache as the job found it, read once in open().
    std::unique_ptr<PackageState> m_state;
    QStringList m_install;
    QStringList m_purge;
};
