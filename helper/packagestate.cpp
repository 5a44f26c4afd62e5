// SPDX-License-Identifier: GPL-2.0-or-later
#include "packagestate.h"

#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/policy.h>

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

namespace
{
}

// A cache of its own, read from dpkg's status as it is when it is opened.
class PackageState::Cache
{
public:
    Cache()
    {
        m_open = m_file.ReadOnlyOpen(nullptr) && m_file.GetPkgCache();
        if (!m_open) {
            _error->Discard();
        }
    }
    bool isOpen() const
    {
        return m_open;
    }
    pkgCache *operator->()
    {
        return m_file.GetPkgCache();
    }
    pkgCache::PkgIterator find(const QString &name)
    {
        return m_file->FindPkg(name.toStdString());
    }
    pkgCache::VerIterator candidate(const pkgCache::PkgIterator &package)
    {
        pkgPolicy *policy = m_file.GetPolicy();
        return policy ? policy->GetCandidateVer(package) : pkgCache::VerIterator();
    }

private:
    pkgCacheFile m_file;
    bool m_open = false;
};

namespace
{
bool isDependency(const pkgCache::DepIterator &dependency)
{
    return dependency->Type == pkgCache::Dep::Depends || dependency->Type == pkgCache::Dep::PreDepends;
}

// Whether dependency belongs to the version of its package that is installed.
bool ofInstalledVersion(const pkgCache::DepIterator &dependency)
{
    const pkgCache::PkgIterator owner = dependency.ParentPkg();
    return !owner.CurrentVer().end() && owner.CurrentVer() == dependency.ParentVer();
}
}

bool PackageState::initialise()
{
    if (_system) {
        return true;
    }
    const bool done = pkgInitConfig(*_config) && pkgInitSystem(*_config, _system);
    if (!done) {
        _error->Discard();
    }
    return done;
}

bool PackageState::known(const QString &name)
{
    if (!m_cache->isOpen()) {
        return false;
    }
    const pkgCache::PkgIterator package = m_cache.get()->find(name);
    if (package.end()) {
        return false;
    }
    return !package.CurrentVer().end() || !m_cache.get()->candidate(package).end();
}

PackageState::PackageState()
    : m_cache(std::make_unique<Cache>())
{
}

PackageState::~PackageState() = default;

QString PackageState::check(const QStringList &names, bool installed)
{
    Cache &cache = *m_cache;
    if (!cache.isOpen()) {
        return QStringLiteral("Cannot read the package database to check the result");
    }
    for (const QString &name : names) {
        const pkgCache::PkgIterator package = cache.find(name);
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

QStringList PackageState::unfinished()
{
    QStringList packages;
    Cache &cache = *m_cache;
    if (!cache.isOpen()) {
        return packages;
    }
    for (pkgCache::PkgIterator package = cache->PkgBegin(); !package.end(); ++package) {
        const bool unfinishedState = package->CurrentState == pkgCache::State::UnPacked || package->CurrentState == pkgCache::State::HalfConfigured
            || package->CurrentState == pkgCache::State::HalfInstalled;
        if (unfinishedState || package->InstState != pkgCache::State::Ok) {
            packages.append(QStringLiteral("package %1 is %2").arg(QString::fromStdString(package.FullName(true)), stateName(package->CurrentState)));
        }
    }
    return packages;
}

QStringList PackageState::protectedPackages(const QStringList &names)
{
    QStringList protectedNames;
    Cache &cache = *m_cache;
    for (const QString &name : names) {
        const pkgCache::PkgIterator package = cache.isOpen() ? cache.find(name) : pkgCache::PkgIterator();
        if (!cache.isOpen()) {
            // Nothing may be removed that cannot be checked.
            protectedNames.append(name);
            continue;
        }
        if (package.end()) {
            continue;
        }
        const bool essential = (package->Flags & (pkgCache::Flag::Essential | pkgCache::Flag::Important)) != 0;
        const pkgCache::VerIterator version = package.CurrentVer();
        const bool priority = !version.end() && (version->Priority == pkgCache::State::Required || version->Priority == pkgCache::State::Important);
        if (essential || priority) {
            protectedNames.append(name);
        }
    }
    return protectedNames;
}

QStringList PackageState::installedDependencies(const QString &name)
{
    QStringList names;
    Cache &cache = *m_cache;
    if (!cache.isOpen()) {
        return names;
    }
    const pkgCache::PkgIterator package = cache.find(name);
    if (package.end() || package.CurrentVer().end()) {
        return names;
    }
    const auto add = [&names](const pkgCache::PkgIterator &candidate) {
        const QString candidateName = QString::fromStdString(candidate.Name());
        if (!candidate.CurrentVer().end() && !names.contains(candidateName)) {
            names.append(candidateName);
        }
    };
    for (pkgCache::DepIterator dependency = package.CurrentVer().DependsList(); !dependency.end(); ++dependency) {
        if (!isDependency(dependency) && dependency->Type != pkgCache::Dep::Recommends) {
            continue;
        }
        const pkgCache::PkgIterator target = dependency.TargetPkg();
        add(target);
        // A virtual package, or one that others provide too: the installed providers.
        for (pkgCache::PrvIterator provider = target.ProvidesList(); !provider.end(); ++provider) {
            add(provider.OwnerPkg());
        }
    }
    return names;
}

QString PackageState::neededBy(const QString &name, const QStringList &leaving)
{
    Cache &cache = *m_cache;
    if (!cache.isOpen()) {
        return QStringLiteral("(the package database cannot be read)");
    }
    const pkgCache::PkgIterator package = cache.find(name);
    if (package.end() || package.CurrentVer().end()) {
        return QString();
    }
    // The package itself and every name its installed version provides.
    QList<pkgCache::PkgIterator> provided{package};
    for (pkgCache::PrvIterator provides = package.CurrentVer().ProvidesList(); !provides.end(); ++provides) {
        provided.append(provides.ParentPkg());
    }
    for (const pkgCache::PkgIterator &target : std::as_const(provided)) {
        for (pkgCache::DepIterator dependency = target.RevDependsList(); !dependency.end(); ++dependency) {
            const QString owner = QString::fromStdString(dependency.ParentPkg().Name());
            if (isDependency(dependency) && ofInstalledVersion(dependency) && owner != name && !leaving.contains(owner)) {
                return owner;
            }
        }
    }
    return QString();
}
