// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// Checks every value of a request before the helper changes anything: the
// values end up, written as root, in files that modprobe and the X server obey.
// Each function returns an empty string for a sound request, or the reason it
// is refused (which never repeats the offending value).
namespace RequestValidator
{
QString checkReplace(const QVariantList &entries);
QString checkTearing(const QVariantMap &arguments);
QString checkPackages(const QStringList &names);

// A value safe inside a double-quoted XOrg configuration string.
bool isSafeXorgText(const QString &text, int maxLength);
bool isXorgBusId(const QString &busId);
bool isPackageName(const QString &name);
}
