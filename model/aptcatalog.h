// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QSet>
#include <QString>
#include <QVector>

#include <functional>

// The packages of APT's package cache that carry a control field, read through
// libapt-pkg itself.
//
// It gives what libqapt gives for the same cache: the packages of
// QApt::Backend::availablePackages(), in that order, with Package::name(),
// isInstalled() and controlField() (the field of the record of the candidate
// version). It does so without libqapt's backend, whose dependency cache and
// object per package cost more than the rest of a listing, and without a lookup
// per package, which on compressed lists decompresses a list from its start
// each time: every file the cache was built from is read once, and a
// candidate's record is found by where the cache says it is.
namespace AptCatalog
{
struct Package {
    QString name;
    bool installed = false;
    QString field;
};

// The packages whose candidate version's record has a non-empty field, in the
// cache's order. Reads APT's configuration and opens the package cache, building
// it where APT keeps none. A cache that cannot be opened gives no packages.
//
// alsoNamed, when given, names more packages to take whether they have the
// field or not (if they have a candidate). It is called once the package lists
// are read, so that a caller may gather the names on another thread meanwhile.
QVector<Package> withField(const QString &field, const std::function<QSet<QString>()> &alsoNamed = {});

// APT's list directory (Dir::State::lists), from APT's configuration.
QString listDirectory();
}
