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
#include <functional>

namespace
{
const struct {
    const char *backup;
    const char *system;
} directories[] = {
    {"/modprobe.d", "/etc/modprobe.d"},
    {"/xorg.conf.d", "/etc/X11/xorg.conf.d"},
};
}

BackupRestorer::BackupRestorer(const QString &root)
    : m_root(root)
{
}

bool BackupRestorer::hasBackup() const
{
    for (const auto &directory : directories) {
        if (QFileInfo(m_root + ConfigurationBackup::backupDirectory() + QLatin1String(directory.backup)).isDir()) {
            return true;
        }
    }
    return false;
}

QList<BackupRestorer::Copy> BackupRestorer::plan() const
{
    QList<Copy> copies;
    for (const auto &directory : directories) {
        const QString source = m_root + ConfigurationBackup::backupDirectory() + QLatin1String(directory.backup);
        QStringList files;
        QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            files.append(it.next());
        }
        std::sort(files.begin(), files.end());
        for (const QString &file : qAsConst(files)) {
            Copy copy;
            copy.from = file;
            copy.to = m_root + QLatin1String(directory.system) + file.mid(source.size());
            QByteArray backup;
            QByteArray current;
            QString error;
            copy.changes = !AtomicFile::read(copy.to, &current, &error) || !AtomicFile::read(copy.from, &backup, &error) || current != backup;
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
        if (!inBackup && QFileInfo::exists(path)) {
            copies.append({QString(), path, true});
        }
    }
    return copies;
}

QString BackupRestorer::restore(const QList<Copy> &plan, const std::function<void(const Copy &)> &done) const
{
    for (const Copy &copy : plan) {
        if (!copy.changes) {
            continue;
        }
        if (copy.from.isEmpty()) {
            if (!QFile::remove(copy.to)) {
                return copy.to + QLatin1String(": cannot remove it");
            }
            done(copy);
            continue;
        }
        QByteArray data;
        QString error;
        if (!AtomicFile::read(copy.from, &data, &error)) {
            return copy.from + QLatin1String(": ") + error;
        }
        QDir().mkpath(QFileInfo(copy.to).path());
        if (!AtomicFile::write(copy.to, data, &error)) {
            return copy.to + QLatin1String(": ") + error;
        }
        done(copy);
    }
    return QString();
}
