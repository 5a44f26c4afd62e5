// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QProcessEnvironment>

// The environment of the system's tools that the programs run (dpkg-query,
// apt-get, update-initramfs): a known search path and locale, not whatever the
// caller's environment holds, and untranslated messages where they are read.
inline QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}
