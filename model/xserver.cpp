// SPDX-License-Identifier: GPL-2.0-or-later
#include "xserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>

#include <pwd.h>

namespace
{
// The user name as ps prints it: procps 4 prints the whole name however long,
// and the number only for a user the user database does not know.
QString userName(uint uid)
{
    QByteArray buffer(16384, '\0');
    passwd entry;
    passwd *result = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), size_t(buffer.size()), &result) == 0 && result) {
        return QString::fromLocal8Bit(result->pw_name);
    }
    return QString::number(uid);
}

// The effective user id from /proc/<pid>/status ("Uid: real effective saved fs").
bool effectiveUid(const QString &statusPath, uint *uid)
{
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    // Files under /proc report a size of 0, so read to the end rather than test atEnd().
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
            bool ok = false;
            if (fields.size() >= 2) {
                *uid = fields.at(1).toUInt(&ok);
            }
            return ok;
        }
    }
    return false;
}
}

bool XServer::isRootStartedX(const QString &procDir)
{
    const QStringList entries = QDir(procDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : entries) {
        bool numeric = false;
        pid.toUInt(&numeric);
        if (!numeric) {
            continue;
        }
        QFile comm(procDir + QLatin1Char('/') + pid + QLatin1String("/comm"));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().contains('X')) {
            continue;
        }
        uint uid = 0;
        if (effectiveUid(procDir + QLatin1Char('/') + pid + QLatin1String("/status"), &uid) && userName(uid).contains(QLatin1String("root"))) {
            return true;
        }
    }
    return false;
}

QStringList XServer::driverDirectories()
{
    return {
        QStringLiteral("/usr/lib/x86_64-linux-gnu/xorg/modules/drivers/"),
        QStringLiteral("/usr/lib/xorg/modules/drivers/"),
        QStringLiteral("/usr/lib/x86_64-linux-gnu/nvidia/xorg/"),
    };
}

QStringList XServer::installedXOrgDrivers(const QString &root)
{
    static const QRegularExpression driverFile(QStringLiteral("(^.+)_drv\\.so$"));
    QStringList drivers;
    for (const QString &directory : driverDirectories()) {
        QDirIterator it(root + directory, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            it.next();
            const auto match = driverFile.match(it.fileName());
            if (match.hasMatch()) {
                drivers.append(match.captured(1));
            }
        }
    }
    return drivers;
}
