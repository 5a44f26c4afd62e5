// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// What dpkg's database says of packages after a package job. libqapt reports a
// package as installed in every state that has a current version, half-configured
// and unpacked included, and its worker can report success when dpkg never ran.
//
// The package system must be set up (QApt::Backend::init() does it).
namespace PackageState
{
// An empty string when every package is installed and configured (installed is
// true) or gone without a trace of configuration (installed is false); otherwise
// the reason, for the first package that is not.
QString check(const QStringList &names, bool installed);
}
