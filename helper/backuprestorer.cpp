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
    for (const ConfigurationBackup::Source &source : ConfigurationBackup::sources()) {
        const QString directory = backupRoot + QLatin1Char('/') + source.backupName;
        QStringList files;
        QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!it.fileInfo().isDir() || it.fileInfo().isSymLink()) {
                files.append(path);
            }
        }
        std::sort(files.begin(), files.end());
        for (const QString &file : qAsConst(files)) {
            Copy copy;
            copy.from = file;
            copy.to = m_root + source.systemPath + file.mid(directory.size());
            copy.problem = problemOf(QFileInfo(file), backupRoot);
            QByteArray backup;
            QByteArray current;
            QString error;
            if (copy.problem.isEmpty() && QFileInfo::exists(copy.to) && !QFileInfo(copy.to).isFile()) {
                copy.problem = QStringLiteral("not a regular file");
            }
            copy.changes =
                !copy.problem.isEmpty() || !AtomicFile::read(copy.to, &current, &error) || !AtomicFile::read(copy.from, &backup, &error) || current != backup;
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
        if (!inBackup && (QFileInfo::exists(path) || QFileInfo(path).isSymLink())) {
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
        AtomicFile::Ownership ownership;
        if (!AtomicFile::ownershipOf(copy.from, &ownership) || !AtomicFile::read(copy.from, &data, &error)) {
            failures.append(copy.to + QLatin1String(": cannot read the backup ") + copy.from + QLatin1String(": ") + error);
            continue;
        }
        QDir().mkpath(QFileInfo(copy.to).path());
        // A file that is gone comes back with the owner and mode it had when it was backed up.
        if (!AtomicFile::write(copy.to, data, &error, &ownership)) {
            failures.append(copy.to + QLatin1String(": ") + error);
            continue;
        }
        done(copy);
    }
    return failures;
}
