// SPDX-License-Identifier: GPL-2.0-or-later
#include "configurationbackup.h"
#include "atomicfile.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

ConfigurationBackup::ConfigurationBackup(const QString &root)
    : m_root(root)
{
}

QString ConfigurationBackup::backupDirectory()
{
    return QStringLiteral("/usr/share/") + QStringLiteral("kiv-admin-driver");
}

QList<ConfigurationBackup::Source> ConfigurationBackup::sources()
{
    return {
        {QStringLiteral("modprobe.d"), QStringLiteral("/etc/modprobe.d")},
        {QStringLiteral("xorg.conf.d"), QStringLiteral("/etc/X11/xorg.conf.d")},
        {QStringLiteral("lib-modprobe.d"), QStringLiteral("/lib/modprobe.d")},
    };
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
        // Without a backup the next action must try again.
        QFile::remove(markerPath());
    }
}

bool ConfigurationBackup::createBackupMarker()
{
    const QByteArray path = QFile::encodeName(markerPath());
    // A few rounds: whatever is taken away may be put back by its owner at once.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Exclusive creation never follows a link someone planted in /tmp.
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        struct stat info;
        if (lstat(path.constData(), &info) != 0) {
            continue;
        }
        if (S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1) {
            return false;
        }
        qDebug().noquote() << QStringLiteral("Replacing an untrusted backup marker ") + QFile::decodeName(path);
        if (!S_ISDIR(info.st_mode)) {
            ::unlink(path.constData());
        } else if (::rmdir(path.constData()) != 0) {
            // A directory with content is moved aside, not searched: its owner could
            // swap what is inside for links while root walks it.
            QByteArray aside = path + ".untrusted-XXXXXX";
            if (mkdtemp(aside.data())) {
                if (::rename(path.constData(), aside.constData()) != 0) {
                    ::rmdir(aside.constData());
                }
            }
        }
    }
    return false;
}

void ConfigurationBackup::createBackupDirectory()
{
    QDir().mkdir(m_root + backupDirectory());
}

bool ConfigurationBackup::copyDirectory(const QString &from, const QString &to) const
{
    if (!QDir().mkpath(to)) {
        qDebug().noquote() << QStringLiteral("Cannot create ") + to;
        return false;
    }
    // Through links, as the helper edits what they lead to; loops are entered once.
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copy = to + path.mid(from.size());
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(copy)) {
                qDebug().noquote() << QStringLiteral("Cannot create ") + copy;
                return false;
            }
            continue;
        }
        if (!it.fileInfo().isFile()) {
            // The helper never edits what is not a regular file.
            continue;
        }
        QByteArray data;
        QString error;
        AtomicFile::Ownership ownership;
        if (!AtomicFile::ownershipOf(path, &ownership) || !AtomicFile::read(path, &data, &error) || !AtomicFile::write(copy, data, &error, &ownership)) {
            qDebug().noquote() << QStringLiteral("Cannot back up ") + path + QLatin1String(": ") + error;
            return false;
        }
    }
    return true;
}

bool ConfigurationBackup::replaceBackup(const QString &staging) const
{
    const QString backup = m_root + backupDirectory();
    for (const Source &source : sources()) {
        const QByteArray fresh = QFile::encodeName(staging + QLatin1Char('/') + source.backupName);
        const QByteArray current = QFile::encodeName(backup + QLatin1Char('/') + source.backupName);
        const bool haveFresh = QFileInfo::exists(QFile::decodeName(fresh));
        const bool haveCurrent = QFileInfo(QFile::decodeName(current)).exists() || QFileInfo(QFile::decodeName(current)).isSymLink();
        if (haveFresh && haveCurrent && renameat2(AT_FDCWD, fresh.constData(), AT_FDCWD, current.constData(), RENAME_EXCHANGE) == 0) {
            continue;
        }
        // No atomic exchange here: the old copy goes first, into the staging
        // directory that is removed below.
        const QByteArray old = QFile::encodeName(staging + QStringLiteral("/.old-") + source.backupName);
        if (haveCurrent && ::rename(current.constData(), old.constData()) != 0) {
            return false;
        }
        if (haveFresh && ::rename(fresh.constData(), current.constData()) != 0) {
            return false;
        }
    }
    return true;
}

bool ConfigurationBackup::backupConfiguration()
{
    createBackupDirectory();
    // Built aside and put in place only when complete: a failure halfway (a full
    // disk) leaves the previous backup as it was.
    QByteArray staging = QFile::encodeName(m_root + backupDirectory() + QStringLiteral("/.staging-XXXXXX"));
    if (!mkdtemp(staging.data())) {
        qDebug().noquote() << QStringLiteral("Cannot create a directory in ") + m_root + backupDirectory();
        return false;
    }
    const QString stagingPath = QFile::decodeName(staging);
    bool complete = true;
    for (const Source &source : sources()) {
        const QString from = m_root + source.systemPath;
        if (QFileInfo(from).isDir()) {
            complete = complete && copyDirectory(from, stagingPath + QLatin1Char('/') + source.backupName);
        }
    }
    complete = complete && replaceBackup(stagingPath);
    QDir(stagingPath).removeRecursively();
    return complete;
}
