// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QApt/Package>
#include <QStringList>

// Reads one control field of many packages of the package cache.
//
// QApt::Package::controlField() looks each record up on its own; with compressed
// package lists every lookup decompresses its list from the start again. This
// reads the very records that lookup would use (the first index file record of
// each package's candidate version) in one sequential pass per index file.
namespace ControlFieldReader
{
// The field of every package, in the order of packages; an empty string for a
// package without it.
QStringList read(const QApt::PackageList &packages, const QString &field);
}
