// SPDX-License-Identifier: GPL-2.0-or-later
#include "backuprestorer.h"
#include "atomicfile.h"
#include "configurationbackup.h"
#include "modprobeeditor.h"
#include "xorgconfig.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Backups made by earlier versions copied links as links. One that leads to a
// file inside the backup stands for that file's content; any other holds nothing
// that could be put back.
QString problemOf(const QFileInfo &entry, const QString &backupRoot)
{
    if (entry.isSymLink()) {
        const QString target = entry.canonicalFilePath();
        if (target.isEmpty() || !target.startsWith(QDir(backupRoot).canonicalPath() + QLatin1Char('/')) || !QFileInfo(target).isFile()) {
            return QStringLiteral("the backup holds a symbolic link instead of the file's content");
        }
        return QString();
    }
    return entry.isFile() ? QString() : QStringLiteral("the backup holds no regular file here");
}
}

BackupRestorer::BackupRestorer(const QString &root)
    : m_root(root)
{
}

QStringList BackupRestorer::untrustedEntries() const
{
    QStringList untrusted;
    const auto check = [&untrusted](const QString &path, bool topLevel) {
        struct stat info;
        if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
            return;
        }
        if (topLevel && S_ISLNK(info.st_mode)) {
            untrusted.append(path + QLatin1String(": is a symbolic link"));
        } else if (info.st_uid != geteuid()) {
            untrusted.append(path + QLatin1String(": belongs to user ") + QString::number(info.st_uid));
        } else if (!S_ISLNK(info.st_mode) && (info.st_mode & 022) != 0) {
            untrusted.append(path + QLatin1String(": can be written by others"));
        }
    };
    const QString backupRoot = m_root + ConfigurationBackup::backupDirectory();
    check(backupRoot, true);
    if (!untrusted.isEmpty()) {
        return untrusted;
    }
    for (const ConfigurationBackup::Source &source : ConfigurationBackup::sources()) {
        const QString directory = backupRoot + QLatin1Char('/') + source.backupName;
        check(directory, true);
        if (QFileInfo(directory).isSymLink()) {
            continue;
        }
        QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            check(it.next(), false);
        }
    }
    return untrusted;
}

QStringList BackupRestorer::missingDirectories() const
{
    QStringList missing;
    for (const ConfigurationBackup::Source &source : ConfigurationBackup::sources()) {
        ConfigurationBackup::Record record;
        const QString directory = m_root + ConfigurationBackup::backupDirectory() + QLatin1Char('/') + source.backupName;
        // Backups of earlier versions kept no record, but did hold each directory
        // that existed.
        if (!ConfigurationBackup::readRecord(directory, &record) && (!QFileInfo(directory).isDir() || QFileInfo(directory).isSymLink())) {
            missing.append(source.systemPath);
        }
    }
    return missing;
}

bool BackupRestorer::hasBackup() const
{
    const QList<ConfigurationBackup::Source> sources = ConfigurationBackup::sources();
    return std::any_of(sources.cbegin(), sources.cend(), [this](const ConfigurationBackup::Source &source) {
        return QFileInfo(m_root + ConfigurationBackup::backupDirectory() + QLatin1Char('/') + source.backupName).isDir();
    });
}

QList<BackupRestorer::Copy> BackupRestorer::plan() const
{
    QList<Copy> copies;
    const QString backupRoot = m_root + ConfigurationBackup::backupDirectory();
    // The helper's own files count as written after the backup only where the
    // backup holds their directory.
    QStringList ownDirectories;
    for (const ConfigurationBackup::Source &source : ConfigurationBackup::sources()) {
        const QString directory = backupRoot + QLatin1Char('/') + source.backupName;
        ConfigurationBackup::Record record;
        const bool recorded = ConfigurationBackup::readRecord(directory, &record);
        const bool present = recorded || (QFileInfo(directory).isDir() && !QFileInfo(directory).isSymLink());
        if (present) {
            ownDirectories.append(m_root + source.systemPath + QLatin1Char('/'));
        }
        QStringList files;
        QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = path.mid(directory.size() + 1);
            if (relative == ConfigurationBackup::recordName() || AtomicFile::isTemporaryName(it.fileName())) {
                continue;
            }
            if (!it.fileInfo().isDir() || it.fileInfo().isSymLink()) {
                files.append(path);
            }
        }
        std::sort(files.begin(), files.end());
        for (const QString &file : std::as_const(files)) {
            Copy copy;
            copy.from = file;
            copy.to = m_root + source.systemPath + file.mid(directory.size());
            copy.problem = problemOf(QFileInfo(file), backupRoot);
            const QString relative = file.mid(directory.size() + 1);
            struct stat info;
            const bool recordedEntry = record.entries.contains(relative);
            copy.recorded = recordedEntry;
            if (recordedEntry) {
                copy.ownership = record.entries.value(relative);
            } else if (stat(QFile::encodeName(file).constData(), &info) == 0) {
                copy.ownership = {0, 0, mode_t(info.st_mode & 0755)};
            }
            QByteArray backup;
            QByteArray current;
            QString error;
            if (copy.problem.isEmpty() && QFileInfo::exists(copy.to) && !QFileInfo(copy.to).isFile()) {
                copy.problem = QStringLiteral("not a regular file");
            }
            AtomicFile::Ownership now;
            const bool ownershipDiffers = recordedEntry && AtomicFile::ownershipOf(copy.to, &now)
                && (now.owner != copy.ownership.owner || now.group != copy.ownership.group || now.mode != copy.ownership.mode);
            copy.changes = !copy.problem.isEmpty() || !AtomicFile::read(copy.to, &current, &error) || !AtomicFile::read(copy.from, &backup, &error)
                || current != backup || ownershipDiffers;
            copies.append(copy);
        }
    }
    const QStringList ownFiles{ModprobeEditor::blacklistFile(),
                               XorgConfig::driverSnippetPath(),
                               XorgConfig::tearingSnippetPath(QStringLiteral("amd")),
                               XorgConfig::tearingSnippetPath(QStringLiteral("intel"))};
    for (const QString &file : ownFiles) {
        const QString path = m_root + file;
        const bool inBackup = std::any_of(copies.cbegin(), copies.cend(), [&path](const Copy &copy) {
            return copy.to == path;
        });
        const bool backedUpDirectory = std::any_of(ownDirectories.cbegin(), ownDirectories.cend(), [&path](const QString &directory) {
            return path.startsWith(directory);
        });
        if (!inBackup && backedUpDirectory && (QFileInfo::exists(path) || QFileInfo(path).isSymLink())) {
            copies.append({QString(), path, true, QString()});
        }
    }
    return copies;
}

QStringList BackupRestorer::restore(const QList<Copy> &plan, const std::function<void(const Copy &)> &done) const
{
    QStringList failures;
    for (const Copy &copy : plan) {
        if (!copy.changes) {
            continue;
        }
        if (!copy.problem.isEmpty()) {
            failures.append(copy.to + QLatin1String(": ") + copy.problem);
            continue;
        }
        if (copy.from.isEmpty()) {
            if (!QFile::remove(copy.to)) {
                failures.append(copy.to + QLatin1String(": cannot remove it"));
                continue;
            }
            done(copy);
            continue;
        }
        QByteArray data;
        QString error;
        if (!AtomicFile::read(copy.from, &data, &error)) {
            failures.append(copy.to + QLatin1String(": cannot read the backup ") + copy.from + QLatin1String(": ") + error);
            continue;
        }
        QDir().mkpath(QFileInfo(copy.to).path());
        // Back with the owner and mode it had when it was backed up, as recorded
        // apart from the copy, which belongs to root.
        if (!(copy.recorded ? AtomicFile::writeAs(copy.to, data, &error, copy.ownership) : AtomicFile::write(copy.to, data, &error, &copy.ownership))) {
            failures.append(copy.to + QLatin1String(": ") + error);
            continue;
        }
        done(copy);
    }
    return failures;
}
