// SPDX-License-Identifier: GPL-2.0-or-later
#include "packagestate.h"

#include <apt-pkg/cachefile.h>
#include <apt-pkg/error.h>
#include <apt-pkg/pkgcache.h>

namespace
{
QString stateName(unsigned char state)
{
    switch (state) {
    case pkgCache::State::NotInstalled:
        return QStringLiteral("not installed");
    case pkgCache::State::UnPacked:
        return QStringLiteral("unpacked but not configured");
    case pkgCache::State::HalfConfigured:
        return QStringLiteral("half-configured");
    case pkgCache::State::HalfInstalled:
        return QStringLiteral("half-installed");
    case pkgCache::State::ConfigFiles:
        return QStringLiteral("removed, its configuration files left");
    case pkgCache::State::Installed:
        return QStringLiteral("installed");
    case pkgCache::State::TriggersAwaited:
        return QStringLiteral("awaiting triggers");
    case pkgCache::State::TriggersPending:
        return QStringLiteral("with triggers pending");
    }
    return QStringLiteral("in dpkg state %1").arg(state);
}
}

QString PackageState::check(const QStringList &names, bool installed)
{
    // A cache of its own, read anew from dpkg's status: libqapt's may predate the job.
    pkgCacheFile cache;
    if (!cache.ReadOnlyOpen(nullptr) || !cache.GetPkgCache()) {
        _error->Discard();
        return QStringLiteral("Cannot read the package database to check the result");
    }
    for (const QString &name : names) {
        const pkgCache::PkgIterator package = cache->FindPkg(name.toStdString());
        if (installed) {
            const bool complete = !package.end() && !package.CurrentVer().end() && package->CurrentState == pkgCache::State::Installed
                && package->InstState == pkgCache::State::Ok;
            if (!complete) {
                const QString state = package.end() ? stateName(pkgCache::State::NotInstalled) : stateName(package->CurrentState);
                return QStringLiteral("Package %1 is not fully installed: it is %2").arg(name, state);
            }
        } else {
            const bool gone = package.end() || (package.CurrentVer().end() && package->CurrentState == pkgCache::State::NotInstalled);
            if (!gone) {
                return QStringLiteral("Package %1 was not purged: it is %2").arg(name, stateName(package->CurrentState));
            }
        }
    }
    return QString();
}
