// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QApt/Package>
#include <QStringList>

// Reads one control field of many packages of the package cache.
//
// QApt::Package::controlField() looks each record up on its own; with compressed
// package lists every lookup decompresses its list from the start again, which
// takes minutes for a whole archive. This reads every package index file of the
// sources and the dpkg status file once, in one sequential pass each, and takes a
// package's field from the records of its candidate version. Where those records
// disagree, or none is found, it asks libqapt for that package, so the result is
// always what controlField() gives.
namespace ControlFieldReader
{
// The field of every package, in the order of packages; an empty string for a
// package without it.
// The package cache must be open (QApt::Backend::init()).
QStringList read(const QApt::PackageList &packages, const QString &field);
}
