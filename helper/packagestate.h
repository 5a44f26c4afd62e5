// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// What dpkg's database says of packages, read through a cache of APT's own,
// opened once as the object is made: libqapt's may predate a job. libqapt reports
// a package as installed in every state that has a current version,
// half-configured and unpacked included, and its worker can report success when
// dpkg never ran.
//
// The package system must be set up: initialise() does it, and so does
// QApt::Backend::init().
class PackageState
{
public:
    // Reads APT's configuration and sets up its package system, once in a
    // process; false when that fails.
    static bool initialise();

    PackageState();
    ~PackageState();

    // Whether the archive has a version of name or it is installed.
    bool known(const QString &name);

    // An empty string when every package is installed and configured (installed is
    // true) or gone without a trace of configuration (installed is false); otherwise
    // the reason, for the first package that is not.
    QString check(const QStringList &names, bool installed);

    // Each package that dpkg left unfinished (unpacked, half-configured, half-installed
    // or reinstall-required), with what is wrong with it, one text per package.
    QStringList unfinished();

    // Of names, those a package job must never remove: Essential packages and those
    // whose installed version has Priority required or important.
    QStringList protectedPackages(const QStringList &names);

    // The installed packages that meet the dependencies and recommendations of the
    // installed package name, directly or through a package they provide, in the
    // order of its fields and alternatives.
    QStringList installedDependencies(const QString &name);

    // An installed package outside leaving that depends (Depends or Pre-Depends) on
    // name or on something name provides; empty when there is none.
    QString neededBy(const QString &name, const QStringList &leaving);

private:
    class Cache;
    std::unique_ptr<Cache> m_cache;
};
