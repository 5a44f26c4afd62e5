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
#include <cstring>
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

QString ConfigurationBackup::bootRecordPath() const
{
    return m_root + QStringLiteral("/run/kiv-admin-driver/backup-made");
}

QString ConfigurationBackup::recordName()
{
    return QStringLiteral(".kiv-admin-driver-ownership");
}

bool ConfigurationBackup::backupOnce()
{
    if (hasBootBackup()) {
        return true;
    }
    if (!backupConfiguration()) {
        qWarning() << "Failed to create backup directory";
        return false;
    }
    // Without the record the next action would back up again, over this backup,
    // what this action is about to change.
    if (!writeBootRecord()) {
        qWarning() << "Cannot record that the configuration was backed up";
        return false;
    }
    createBackupMarker();
    return true;
}

bool ConfigurationBackup::hasBootBackup() const
{
    const QByteArray record = QFile::encodeName(bootRecordPath());
    const QByteArray directory = QFile::encodeName(QFileInfo(bootRecordPath()).path());
    struct stat info;
    if (lstat(directory.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0) {
        return false;
    }
    return lstat(record.constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

bool ConfigurationBackup::writeBootRecord() const
{
    const QString directory = QFileInfo(bootRecordPath()).path();
    QDir().mkpath(QFileInfo(directory).path());
    const QByteArray path = QFile::encodeName(directory);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info;
    if (lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        return false;
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0) {
        return false;
    }
    QString error;
    return AtomicFile::writeAs(bootRecordPath(), QByteArrayLiteral("backed up\n"), &error, {geteuid(), getegid(), 0600});
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

bool ConfigurationBackup::prepareBackupDirectory() const
{
    const QByteArray path = QFile::encodeName(m_root + backupDirectory());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        qDebug().noquote() << QStringLiteral("Cannot create the backup directory: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Never through a link, and never into a directory someone else controls.
    struct stat info;
    if (lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        qDebug() << "The backup directory is not a directory of the helper's own user";
        return false;
    }
    // Backups of earlier versions left it readable by all.
    if ((info.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0) {
        return false;
    }
    return true;
}

void ConfigurationBackup::removeLeftovers() const
{
    // What a backup killed half-way left behind.
    const QDir backup(m_root + backupDirectory());
    const QStringList leftovers = backup.entryList({QStringLiteral(".staging-*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : leftovers) {
        QDir(backup.filePath(name)).removeRecursively();
    }
}

namespace
{
QByteArray recordLine(const AtomicFile::Ownership &ownership, const QString &relative)
{
    return QByteArray::number(ownership.owner) + ' ' + QByteArray::number(ownership.group) + ' ' + QByteArray::number(ownership.mode, 8) + ' '
        + QFile::encodeName(relative).toPercentEncoding("/") + '\n';
}

bool statOwnership(const QString &path, AtomicFile::Ownership *ownership)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0) {
        return false;
    }
    *ownership = {info.st_uid, info.st_gid, mode_t(info.st_mode & 07777)};
    return true;
}
}

bool ConfigurationBackup::readRecord(const QString &backedUpDirectory, Record *record)
{
    QByteArray data;
    QString error;
    if (!AtomicFile::read(backedUpDirectory + QLatin1Char('/') + recordName(), &data, &error)) {
        return false;
    }
    *record = Record();
    if (data == "absent\n") {
        return true;
    }
    record->existed = true;
    for (const QByteArray &line : data.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4) {
            continue;
        }
        bool ok[3];
        const AtomicFile::Ownership ownership{uid_t(fields[0].toUInt(&ok[0])), gid_t(fields[1].toUInt(&ok[1])), mode_t(fields[2].toUInt(&ok[2], 8) & 07777)};
        if (ok[0] && ok[1] && ok[2]) {
            record->entries.insert(QFile::decodeName(QByteArray::fromPercentEncoding(fields[3])), ownership);
        }
    }
    return true;
}

bool ConfigurationBackup::copyDirectory(const QString &from, const QString &to) const
{
    const AtomicFile::Ownership own{geteuid(), getegid(), 0600};
    if (::mkdir(QFile::encodeName(to).constData(), 0700) != 0) {
        qDebug().noquote() << QStringLiteral("Cannot create ") + to;
        return false;
    }
    QString error;
    if (!QFileInfo(from).isDir()) {
        return AtomicFile::writeAs(to + QLatin1Char('/') + recordName(), QByteArrayLiteral("absent\n"), &error, own);
    }
    AtomicFile::Ownership ownership;
    if (!statOwnership(from, &ownership)) {
        return false;
    }
    QByteArray record = recordLine(ownership, QStringLiteral("."));
    // Through links, as the helper edits what they lead to; loops are entered once.
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(from.size() + 1);
        const QString copy = to + QLatin1Char('/') + relative;
        // Files a killed write left behind are nobody's configuration.
        if (relative == recordName() || AtomicFile::isTemporaryName(it.fileName())) {
            continue;
        }
        if (it.fileInfo().isDir()) {
            if (::mkdir(QFile::encodeName(copy).constData(), 0700) != 0 || !statOwnership(path, &ownership)) {
                qDebug().noquote() << QStringLiteral("Cannot create ") + copy;
                return false;
            }
            record += recordLine(ownership, relative);
            continue;
        }
        if (!it.fileInfo().isFile()) {
            // The helper never edits what is not a regular file.
            continue;
        }
        QByteArray data;
        if (!AtomicFile::ownershipOf(path, &ownership) || !AtomicFile::read(path, &data, &error) || !AtomicFile::writeAs(copy, data, &error, own)) {
            qDebug().noquote() << QStringLiteral("Cannot back up ") + path + QLatin1String(": ") + error;
            return false;
        }
        record += recordLine(ownership, relative);
    }
    if (!AtomicFile::writeAs(to + QLatin1Char('/') + recordName(), record, &error, own)) {
        qDebug().noquote() << QStringLiteral("Cannot write the ownership record in ") + to + QLatin1String(": ") + error;
        return false;
    }
    return true;
}

bool ConfigurationBackup::replaceBackup(const QString &staging) const
{
    const QString backup = m_root + backupDirectory();
    for (const Source &source : sources()) {
        const QByteArray fresh = QFile::encodeName(staging + QLatin1Char('/') + source.backupName);
        const QByteArray current = QFile::encodeName(backup + QLatin1Char('/') + source.backupName);
        struct stat info;
        const bool haveCurrent = lstat(current.constData(), &info) == 0;
        if (haveCurrent && renameat2(AT_FDCWD, fresh.constData(), AT_FDCWD, current.constData(), RENAME_EXCHANGE) == 0) {
            continue;
        }
        // No atomic exchange here: the old copy goes first, into the staging
        // directory that is removed below.
        const QByteArray old = QFile::encodeName(staging + QStringLiteral("/.old-") + source.backupName);
        if (haveCurrent && ::rename(current.constData(), old.constData()) != 0) {
            return false;
        }
        if (::rename(fresh.constData(), current.constData()) != 0) {
            // The previous copy goes back rather than away with the staging directory.
            if (haveCurrent) {
                ::rename(old.constData(), current.constData());
            }
            return false;
        }
    }
    return true;
}

bool ConfigurationBackup::backupConfiguration()
{
    if (!prepareBackupDirectory()) {
        return false;
    }
    removeLeftovers();
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
        complete = complete && copyDirectory(m_root + source.systemPath, stagingPath + QLatin1Char('/') + source.backupName);
    }
    complete = complete && replaceBackup(stagingPath);
    QDir(stagingPath).removeRecursively();
    return complete;
}
