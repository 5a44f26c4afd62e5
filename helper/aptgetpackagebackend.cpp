// SPDX-License-Identifier: GPL-2.0-or-later
#include "aptgetpackagebackend.h"
#include "childsetupprocess.h"
#include "packagestate.h"
#include "toolenvironment.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#ifndef KIV_WITH_QAPT
std::unique_ptr<PackageBackend> PackageBackend::create()
{
    return std::make_unique<AptGetPackageBackend>();
}
#endif

namespace
{
// apt-get writes its status lines to this descriptor of its own.
constexpr int statusFd = 3;
// How long a job waits for another program to release APT's locks.
constexpr qint64 lockWaitMs = 30 * 60 * 1000;
// The end of apt-get's output that a failure's text is taken from.
constexpr int outputKept = 64 * 1024;

// In the child, between fork and exec: makes the status pipe's write end its
// descriptor 3 (async-signal-safe calls only).
void passDescriptor(int writeEnd)
{
    if (writeEnd == statusFd) {
        ::fcntl(statusFd, F_SETFD, 0);
    } else {
        ::dup2(writeEnd, statusFd);
    }
}

QProcessEnvironment aptEnvironment()
{
    // What apt-get, dpkg and the packages' scripts need, and nothing of the
    // caller's: no questions (debconf keeps its defaults), messages untranslated.
    QProcessEnvironment environment = toolEnvironment();
    environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    environment.insert(QStringLiteral("APT_LISTCHANGES_FRONTEND"), QStringLiteral("none"));
    environment.insert(QStringLiteral("APT_LISTBUGS_FRONTEND"), QStringLiteral("none"));
    return environment;
}

QString withoutArchitecture(const QString &name)
{
    return name.section(QLatin1Char(':'), 0, 0);
}

// Waits without blocking the bus, so that stop requests keep arriving.
void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
}

AptGetPackageBackend::Status AptGetPackageBackend::parseStatusLine(const QByteArray &line)
{
    // "dlstatus:N:PERCENT:TEXT", "pmstatus:PACKAGE:PERCENT:TEXT",
    // "pmerror:PACKAGE:PERCENT:TEXT", "pmconffile:FILE:PERCENT:TEXT",
    // "media-change:MEDIUM:DRIVE:TEXT"; the text may hold colons of its own.
    Status status;
    const QString text = QString::fromUtf8(line).trimmed();
    const int first = text.indexOf(QLatin1Char(':'));
    int second = first < 0 ? -1 : text.indexOf(QLatin1Char(':'), first + 1);
    int third = second < 0 ? -1 : text.indexOf(QLatin1Char(':'), second + 1);
    if (third < 0) {
        return status;
    }
    // A package named with its architecture ("name:amd64") has one field more.
    const auto isNumber = [&text](int from, int to) {
        bool number = false;
        text.mid(from + 1, to - from - 1).toDouble(&number);
        return number;
    };
    const int fourth = text.indexOf(QLatin1Char(':'), third + 1);
    if (!isNumber(second, third) && fourth > 0 && isNumber(third, fourth)) {
        second = third;
        third = fourth;
    }
    const QStringView kind = QStringView(text).left(first);
    if (kind == QLatin1String("dlstatus")) {
        status.kind = Status::Kind::Download;
    } else if (kind == QLatin1String("pmstatus")) {
        status.kind = Status::Kind::Package;
    } else if (kind == QLatin1String("pmerror")) {
        status.kind = Status::Kind::Error;
    } else if (kind == QLatin1String("pmconffile")) {
        status.kind = Status::Kind::ConffilePrompt;
    } else if (kind == QLatin1String("media-change")) {
        status.kind = Status::Kind::MediaChange;
    } else {
        return status;
    }
    status.package = withoutArchitecture(text.mid(first + 1, second - first - 1));
    bool number = false;
    const double percent = text.mid(second + 1, third - second - 1).toDouble(&number);
    status.percent = number && percent >= 0 && percent <= 100 ? percent : 0;
    status.text = text.mid(third + 1);
    return status;
}

QStringList AptGetPackageBackend::removalsOfSimulation(const QByteArray &report)
{
    // "Remv NAME [VERSION]" and "Purg NAME [VERSION]".
    QStringList removals;
    for (const QByteArray &line : report.split('\n')) {
        if (line.startsWith("Remv ") || line.startsWith("Purg ")) {
            const QString name = withoutArchitecture(QString::fromUtf8(line.mid(5)).section(QLatin1Char(' '), 0, 0));
            if (!name.isEmpty() && !removals.contains(name)) {
                removals.append(name);
            }
        }
    }
    return removals;
}

AptGetPackageBackend::AptGetPackageBackend(const QString &aptGet)
    : m_aptGet(aptGet)
{
}

AptGetPackageBackend::~AptGetPackageBackend() = default;

bool AptGetPackageBackend::open()
{
    m_install.clear();
    m_purge.clear();
    m_state.reset();
    if (!PackageState::initialise()) {
        return false;
    }
    m_state = std::make_unique<PackageState>();
    return true;
}

bool AptGetPackageBackend::has(const QString &name)
{
    return m_state && m_state->known(name);
}

void AptGetPackageBackend::markInstall(const QString &name)
{
    if (!m_install.contains(name)) {
        m_install.append(name);
    }
}

void AptGetPackageBackend::markPurge(const QString &name)
{
    if (!m_purge.contains(name)) {
        m_purge.append(name);
    }
}

QStringList AptGetPackageBackend::arguments(const QStringList &extra) const
{
    // One job installs or purges, never both.
    QStringList arguments{QStringLiteral("-q"),
                          QStringLiteral("-y"),
                          QStringLiteral("-o"),
                          QStringLiteral("Dpkg::Options::=--force-confdef"),
                          QStringLiteral("-o"),
                          QStringLiteral("Dpkg::Options::=--force-confold"),
                          QStringLiteral("-o"),
                          QStringLiteral("Dpkg::Use-Pty=false"),
                          QStringLiteral("-o"),
                          QStringLiteral("APT::Color=false")};
    arguments += extra;
    if (!m_purge.isEmpty()) {
        arguments += QStringLiteral("purge");
        arguments += QStringLiteral("--");
        arguments += m_purge;
    } else {
        arguments += QStringLiteral("install");
        arguments += QStringLiteral("--");
        arguments += m_install;
    }
    return arguments;
}

bool AptGetPackageBackend::plannedRemovals(QStringList *removals, QString *error)
{
    removals->clear();
    if (m_install.isEmpty() && m_purge.isEmpty()) {
        return true;
    }
    // A simulation takes no lock and changes nothing; without --no-remove, so
    // that it names what the plan would remove instead of only refusing.
    const Run simulation = run(arguments({QStringLiteral("--simulate")}), {});
    if (!simulation.started || simulation.exitCode != 0) {
        *error = failureText(simulation);
        return false;
    }
    *removals = removalsOfSimulation(simulation.output);
    return true;
}

AptGetPackageBackend::Run AptGetPackageBackend::run(const QStringList &arguments, const std::function<void(const Status &)> &onStatus) const
{
    Run result;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        result.errors.append(QStringLiteral("Cannot make a pipe for apt-get's status"));
        return result;
    }
    const int writeEnd = ends[1];
    ChildSetupProcess process([writeEnd]() {
        passDescriptor(writeEnd);
    });
    process.setProcessEnvironment(aptEnvironment());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList withStatus = arguments;
    withStatus.prepend(QStringLiteral("APT::Status-Fd=%1").arg(statusFd));
    withStatus.prepend(QStringLiteral("-o"));

    QByteArray pending;
    const auto takeLines = [&pending, &onStatus, &result]() {
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const Status status = parseStatusLine(pending.left(end));
            pending.remove(0, end + 1);
            if (status.kind == Status::Kind::Error) {
                result.errors.append(status.package.isEmpty() ? status.text : status.package + QLatin1String(": ") + status.text);
            }
            if (onStatus && status.kind != Status::Kind::None) {
                onStatus(status);
            }
        }
    };
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    QSocketNotifier notifier(ends[0], QSocketNotifier::Read);
    const auto readStatus = [&ends, &pending, &takeLines, &notifier]() {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
            pending.append(buffer, int(got));
        }
        if (got == 0) {
            // Every writer is gone: an end of file would wake the loop for ever.
            notifier.setEnabled(false);
        }
        takeLines();
    };
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, readStatus);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [&process, &result]() {
        result.output += process.readAllStandardOutput();
        if (result.output.size() > 2 * outputKept) {
            result.output.remove(0, result.output.size() - outputKept);
        }
    });
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            loop.quit();
        }
    });
    process.start(m_aptGet, withStatus);
    // Only the child writes: the pipe ends when apt-get and what it started are done.
    ::close(ends[1]);
    if (process.state() != QProcess::NotRunning || process.error() != QProcess::FailedToStart) {
        loop.exec();
    }
    result.started = process.error() != QProcess::FailedToStart;
    result.output += process.readAllStandardOutput();
    readStatus();
    if (!pending.isEmpty()) {
        pending.append('\n');
        takeLines();
    }
    ::close(ends[0]);
    result.exitCode = result.started && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (!result.started) {
        result.errors.append(QStringLiteral("Cannot run %1").arg(m_aptGet));
    }
    return result;
}

bool AptGetPackageBackend::lockedOut(const Run &run)
{
    // apt-get refuses at once while another program holds a lock of APT's or dpkg's.
    static const QRegularExpression locked(QStringLiteral("^E: (Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock)"),
                                           QRegularExpression::MultilineOption);
    return run.started && run.exitCode != 0 && locked.match(QString::fromUtf8(run.output)).hasMatch();
}

QString AptGetPackageBackend::failureText(const Run &run)
{
    QStringList lines = run.errors;
    for (const QByteArray &line : run.output.split('\n')) {
        if (line.startsWith("E: ")) {
            lines.append(QString::fromUtf8(line.mid(3)).trimmed());
        }
    }
    lines.removeDuplicates();
    if (lines.isEmpty()) {
        lines.append(run.exitCode < 0 ? QStringLiteral("apt-get was ended before it finished")
                                      : QStringLiteral("apt-get failed with exit code %1").arg(run.exitCode));
    }
    return lines.join(QLatin1Char('\n'));
}

PackageBackend::Outcome AptGetPackageBackend::commit(const std::function<void(int)> &progress, const std::function<bool()> &stopRequested)
{
    const bool installing = m_purge.isEmpty();
    // The download takes the first half of the bar where there is one.
    const int downloadShare = installing ? 50 : 0;
    QElapsedTimer waited;
    waited.start();
    // Runs apt-get until it gets APT's locks; a stop while it waits cancels.
    const auto runWhenUnlocked = [&](const QStringList &arguments, const std::function<void(const Status &)> &onStatus, Outcome *stop) {
        for (;;) {
            Run attempt = run(arguments, onStatus);
            if (!lockedOut(attempt)) {
                return attempt;
            }
            if (stopRequested()) {
                *stop = {Result::Cancelled, QString()};
                return attempt;
            }
            if (waited.elapsed() > lockWaitMs) {
                *stop = {Result::Failed, failureText(attempt)};
                return attempt;
            }
            pause(1000);
        }
    };

    Outcome stop{Result::Done, QString()};
    if (installing) {
        // --no-remove: the plan was checked to remove nothing; if the system
        // changed since, apt-get refuses instead of removing.
        const Run download = runWhenUnlocked(
            arguments({QStringLiteral("--download-only"), QStringLiteral("--no-remove")}),
            [&progress](const Status &status) {
                if (status.kind == Status::Kind::Download) {
                    progress(int(status.percent * 50 / 100));
                }
            },
            &stop);
        if (stop.result != Result::Done) {
            return stop;
        }
        if (download.exitCode != 0) {
            return {Result::Failed, failureText(download)};
        }
        // The last moment a stop can take effect: nothing has been unpacked yet.
        if (stopRequested()) {
            qDebug() << "Stop requested: the packages are downloaded, none is installed";
            return {Result::Cancelled, QString()};
        }
    }
    const QStringList extra = installing ? QStringList{QStringLiteral("--no-remove")} : QStringList();
    const Run change = runWhenUnlocked(
        arguments(extra),
        [&progress, downloadShare](const Status &status) {
            if (status.kind == Status::Kind::Package) {
                progress(downloadShare + int(status.percent * (100 - downloadShare) / 100));
            }
        },
        &stop);
    if (stop.result != Result::Done) {
        return stop;
    }
    if (change.exitCode != 0) {
        return {Result::Failed, failureText(change)};
    }
    progress(100);
    return {Result::Done, QString()};
}
