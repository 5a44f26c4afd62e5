// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace XServer
{
// Whether a running X server belongs to root: some process whose name contains
// "X" (as pgrep matches it) runs with an effective user whose name (as ps prints
// it) contains "root". Read from procDir, without starting any program.
bool isRootStartedX(const QString &procDir = QStringLiteral("/proc"));

// Names of the installed XOrg drivers (files *_drv.so) under the module
// directories, walked recursively in the file system's order; a driver found in
// two directories is listed twice. Paths are taken below root.
QStringList installedXOrgDrivers(const QString &root = QString());

// The directories the catalogue is read from, in search order.
QStringList driverDirectories();
}
