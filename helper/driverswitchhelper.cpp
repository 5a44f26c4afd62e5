// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverswitchhelper.h"
#include "authorizationwatchdog.h"
#include "configurationswitch.h"
#include "initramfsupdate.h"
#include "packagebackend.h"
#include "packagestate.h"
#include "requestvalidator.h"

#include <KAuth/HelperSupport>

#include <QDBusConnection>
#include <QDebug>
#include <QRegularExpression>

#include <memory>

DriverSwitchHelper::DriverSwitchHelper(const QString &root)
    : m_root(root)
    , m_xorg(root)
    , m_backup(root)
{
}

DriverSwitchHelper::~DriverSwitchHelper() = default;

QString DriverSwitchHelper::backupFailure()
{
    return QStringLiteral("The configuration could not be backed up, so nothing was changed");
}

KAuth::ActionReply DriverSwitchHelper::errorReply(const QString &text)
{
    KAuth::ActionReply reply = KAuth::ActionReply::HelperErrorReply();
    reply.setErrorDescription(text);
    return reply;
}

QStringList DriverSwitchHelper::actionWords()
{
    return {QStringLiteral("replace"), QStringLiteral("install"), QStringLiteral("remove"), QStringLiteral("tearing")};
}

QString DriverSwitchHelper::tokenOf(const QVariantMap &args)
{
    // The clients' tokens are 32 hexadecimal digits; anything else is not echoed.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{32}")));
    const QString token = args.value(QStringLiteral(KIV_REQUEST_TOKEN)).toString();
    return pattern.match(token).hasMatch() ? token : QString();
}

KAuth::ActionReply DriverSwitchHelper::answer(const QVariantMap &args, KAuth::ActionReply reply)
{
    const QString token = tokenOf(args);
    if (!token.isEmpty()) {
        reply.addData(QStringLiteral(KIV_REQUEST_TOKEN), token);
    }
    return reply;
}

KAuth::ActionReply DriverSwitchHelper::replace(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    return answer(args, replaceConfiguration(args));
}

KAuth::ActionReply DriverSwitchHelper::replaceConfiguration(const QVariantMap &args)
{
    const ConfigurationSwitch::Outcome outcome = ConfigurationSwitch(m_root).apply(ConfigurationSwitch::entriesOf(args), [this]() {
        return m_backup.backupOnce() ? QString() : backupFailure();
    });
    if (!outcome.failure.isEmpty()) {
        KAuth::ActionReply reply = errorReply(outcome.failure);
        // A switch that failed half-way has written some files already.
        reply.addData(QStringLiteral("changed"), !outcome.changedModprobeFiles.isEmpty());
        return reply;
    }
    KAuth::ActionReply reply = updateInitramfs(outcome.changedModprobeFiles, outcome.switchedModules, tokenOf(args));
    // Also when the initramfs failed: the files are written, and a client that
    // took the request for undone would send the same switch again.
    reply.addData(QStringLiteral("changed"), !outcome.changedModprobeFiles.isEmpty() || outcome.xorgWritten);
    return reply;
}

KAuth::ActionReply DriverSwitchHelper::updateInitramfs(const QStringList &changedFiles, const QStringList &modules, const QString &token)
{
    const InitramfsUpdate initramfs(m_root);
    const auto withState = [&initramfs](KAuth::ActionReply reply, const char *state) {
        reply.addData(QStringLiteral("initramfsImage"), initramfs.image());
        reply.addData(QStringLiteral("initramfs"), QLatin1String(state));
        return reply;
    };
    if (!initramfs.hasImage()) {
        return withState(KAuth::ActionReply::SuccessReply(), "none");
    }
    const QString reason = initramfs.reasonToUpdate(changedFiles, modules);
    if (reason.isEmpty()) {
        return withState(KAuth::ActionReply::SuccessReply(), "current");
    }
    qDebug().noquote() << "Updating the initramfs:" << reason;
    // Tens of seconds: the caller shows that it is under way, and hears that
    // the helper still works. KAuth hands the step to every client waiting for
    // this action: the token tells whose request it is.
    QVariantMap step{{QStringLiteral("initramfs"), QStringLiteral("updating")}, {QStringLiteral("initramfsImage"), initramfs.image()}};
    if (!token.isEmpty()) {
        step.insert(QStringLiteral(KIV_REQUEST_TOKEN), token);
    }
    KAuth::HelperSupport::progressStep(step);
    const QString failure = initramfs.update([&step]() {
        KAuth::HelperSupport::progressStep(step);
    });
    if (!failure.isEmpty()) {
        return withState(errorReply(initramfs.failureText(failure)), "failed");
    }
    return withState(KAuth::ActionReply::SuccessReply(), "updated");
}

KAuth::ActionReply DriverSwitchHelper::install(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return answer(args, errorReply(QStringLiteral("Didn't receive any drivers for installation")));
    }
    return answer(args, processPackages(drivers, PackageMode::Install, tokenOf(args)));
}

KAuth::ActionReply DriverSwitchHelper::remove(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    const QStringList drivers = args.value(QStringLiteral("drivers")).toStringList();
    if (drivers.isEmpty()) {
        return answer(args, errorReply(QStringLiteral("Didn't receive any drivers for removal")));
    }
    return answer(args, processPackages(drivers, PackageMode::Remove, tokenOf(args)));
}

KAuth::ActionReply DriverSwitchHelper::tearing(const QVariantMap &args)
{
    AuthorizationWatchdog::actionEntered();
    return answer(args, writeTearing(args));
}

KAuth::ActionReply DriverSwitchHelper::writeTearing(const QVariantMap &args)
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

KAuth::ActionReply DriverSwitchHelper::processPackages(const QStringList &names, PackageMode mode, const QString &token)
{
    const QString refusal = RequestValidator::checkPackages(names);
    if (!refusal.isEmpty()) {
        return errorReply(refusal);
    }
    // KAuth keeps a stop request until the end of the action it arrives in, and one
    // that arrives between actions (which anyone on the bus may send) until the end
    // of the next. Set already now, it is such a stale one: it must not cancel this job.
    const bool staleStop = KAuth::HelperSupport::isStopped();
    if (!m_stops) {
        // Registered on the bus KAuth set up, which exists only once a request runs.
        m_stops = new RequestStop(this);
    }
    m_stops->expect(token);
    if (!m_backup.backupOnce()) {
        return errorReply(backupFailure());
    }
    if (!m_packages) {
        // Made on the first package job: libqapt connects to the system bus as it
        // is constructed, and the helper object exists before KAuth sets up the
        // application and registers the helper on that bus.
        m_packages = PackageBackend::create();
    }
    if (!m_packages->open()) {
        return errorReply(QStringLiteral("Cannot read the package system"));
    }
    // dpkg's database as it is before the job, read once for all of the plan's checks.
    PackageState before;
    // A request names what it changes; sed or dpkg named by anyone is still refused.
    const QStringList essential = before.protectedPackages(names);
    if (mode == PackageMode::Remove && !essential.isEmpty()) {
        return errorReply(QStringLiteral("Refused request: %1 must not be removed, the system needs it").arg(essential.join(QStringLiteral(", "))));
    }
    for (const QString &name : names) {
        if (!m_packages->has(name)) {
            return errorReply(QStringLiteral("Cannot find package %1").arg(name));
        }
        if (mode == PackageMode::Install) {
            m_packages->markInstall(name);
        } else {
            m_packages->markPurge(name);
        }
    }
    QStringList removable = mode == PackageMode::Remove ? names : QStringList();
    if (mode == PackageMode::Remove) {
        for (const QString &name : names) {
            removable += purgeDependencies(before, name, removable);
        }
    }
    // APT's resolver may have added removals of its own (what depends on a named
    // package, what conflicts with one to install): nothing outside the request
    // may go.
    const QString removals = checkRemovals(before, removable);
    if (!removals.isEmpty()) {
        return errorReply(removals);
    }

    const auto progress = [](int percent) {
        KAuth::HelperSupport::progressStep(percent);
    };
    const auto stopRequested = [this, staleStop]() {
        return m_stops->requested() || (!staleStop && KAuth::HelperSupport::isStopped());
    };
    const PackageBackend::Outcome outcome = m_packages->commit(progress, stopRequested);
    m_stops->expect(QString());

    if (outcome.result == PackageBackend::Result::Cancelled) {
        return errorReply(QStringLiteral("The package transaction was cancelled"));
    }
    if (outcome.result == PackageBackend::Result::Failed) {
        // Often about another package, left unfinished by an earlier job, that
        // dpkg tried to finish too: say which, and whether this job's packages
        // are in place all the same.
        PackageState after;
        const QStringList unfinished = after.unfinished();
        if (!unfinished.isEmpty()) {
            const bool done = after.check(names, mode == PackageMode::Install).isEmpty();
            return errorReply(QStringLiteral("%1\nUnfinished: %2. %3")
                                  .arg(outcome.error.trimmed(),
                                       unfinished.join(QStringLiteral(", ")),
                                       done ? QStringLiteral("The packages of this request are in place.")
                                            : QStringLiteral("The packages of this request are not in place.")));
        }
        return errorReply(outcome.error);
    }
    // A package manager can report success when dpkg never ran, and counts a
    // half-configured package as installed: a success reply must mean the
    // packages are in place (or gone).
    const QString incomplete = PackageState().check(names, mode == PackageMode::Install);
    if (!incomplete.isEmpty()) {
        return errorReply(incomplete);
    }
    return KAuth::ActionReply::SuccessReply();
}

QStringList DriverSwitchHelper::purgeDependencies(PackageState &state, const QString &name, const QStringList &leaving)
{
    // One level: what the package depends on or recommends, through what provides
    // it too. A dependency stays if any installed package that is not leaving needs
    // it, or if the system must keep it.
    const QStringList candidates = state.installedDependencies(name);
    const QStringList kept = state.protectedPackages(candidates);
    QStringList purged;
    for (const QString &candidate : candidates) {
        if (!kept.contains(candidate) && !leaving.contains(candidate)) {
            purged.append(candidate);
        }
    }
    // A library needed only by another library of the same package goes with it;
    // one that something staying needs stays, and so may what it needs.
    for (int i = 0; i < purged.size();) {
        if (!state.neededBy(purged.at(i), leaving + purged).isEmpty()) {
            purged.removeAt(i);
            i = 0;
        } else {
            ++i;
        }
    }
    for (const QString &candidate : std::as_const(purged)) {
        m_packages->markPurge(candidate);
    }
    return purged;
}

QString DriverSwitchHelper::checkRemovals(PackageState &state, const QStringList &removable) const
{
    QStringList leaving;
    QString error;
    if (!m_packages->plannedRemovals(&leaving, &error)) {
        return error;
    }
    QStringList unexpected;
    for (const QString &name : std::as_const(leaving)) {
        if (!removable.contains(name)) {
            unexpected.append(name);
        }
    }
    if (!unexpected.isEmpty()) {
        return QStringLiteral("Refused request: it would also remove %1").arg(unexpected.join(QStringLiteral(", ")));
    }
    const QStringList essential = state.protectedPackages(leaving);
    if (!essential.isEmpty()) {
        return QStringLiteral("Refused request: %1 must not be removed, the system needs it").arg(essential.join(QStringLiteral(", ")));
    }
    return QString();
}

QString RequestStop::path()
{
    return QStringLiteral(KIV_REQUEST_STOP_PATH);
}

RequestStop::RequestStop(QObject *parent)
    : QObject(parent)
{
    if (!QDBusConnection::systemBus().registerObject(path(), this, QDBusConnection::ExportScriptableSlots)) {
        qWarning() << "Cannot take stop requests that name their request";
    }
}

void RequestStop::expect(const QString &token)
{
    m_token = token;
    m_requested = false;
}

void RequestStop::stopAction(const QString &token)
{
    // Only the client knows its request's token until the reply names it.
    if (!m_token.isEmpty() && token == m_token) {
        m_requested = true;
    }
}
