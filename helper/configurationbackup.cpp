// SPDX-License-Identifier: GPL-2.0-or-later
#include "configurationbackup.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

ConfigurationBackup::ConfigurationBackup(const QString &root)
    : m_root(root)
{
}

QString ConfigurationBackup::backupDirectory()
{
    return QStringLiteral("/usr/share/") + QStringLiteral("kiv-admin-driver");
}

QString ConfigurationBackup::markerPath() const
{
    const passwd *user = getpwuid(geteuid());
    const QString name = user ? QString::fromLocal8Bit(user->pw_name) : QString::number(geteuid());
    return m_root + QStringLiteral("/tmp/driver-") + name + QStringLiteral(".mark");
}

void ConfigurationBackup::backupOnce()
{
    if (createBackupMarker() && !backupConfiguration()) {
        qWarning() << "Failed to create backup directory";
    }
}

bool ConfigurationBackup::createBackupMarker()
{
    // Exclusive creation never follows a link someone planted in /tmp.
    QFile marker(markerPath());
    const bool created = marker.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    marker.close();
    return created;
}

void ConfigurationBackup::createBackupDirectory()
{
    QDir().mkdir(m_root + backupDirectory());
}

bool ConfigurationBackup::backupConfiguration()
{
    createBackupDirectory();
    QProcess copy;
    copy.start(
        QStringLiteral("/usr/bin/cp"),
        {QStringLiteral("-rf"), m_root + QStringLiteral("/etc/modprobe.d"), m_root + QStringLiteral("/etc/X11/xorg.conf.d"), m_root + backupDirectory()});
    if (!copy.waitForStarted(30000)) {
        return false;
    }
    if (!copy.waitForFinished(30000)) {
        copy.kill();
        copy.waitForFinished();
        return false;
    }
    return copy.exitStatus() == QProcess::NormalExit;
}
