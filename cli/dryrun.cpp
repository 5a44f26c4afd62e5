// SPDX-License-Identifier: GPL-2.0-or-later
#include "dryrun.h"
#include "actions.h"
#include "atomicfile.h"
#include "configurationbackup.h"
#include "configurationswitch.h"
#include "initramfsupdate.h"
#include "jsonoutput.h"
#include "modprobeeditor.h"
#include "xorgconfig.h"

#include <KLocalizedString>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The entries the helper's editors walk: regular files, directly or behind a
// link, in every subdirectory.
constexpr QDir::Filters entryFilter = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden;

// Copies of the configuration directories, made as the helper will meet them.
class Copier
{
public:
    Copier(const QString &root, const QString &links, QStringList *unreadable)
        : m_root(root)
        , m_links(links)
        , m_unreadable(unreadable)
    {
    }

    // Copies the regular files below from to the same places below root + from,
    // with their permission bits (which decide what the editors' messages may
    // name). A link to a file stays a link, to a copy of its file at that file's
    // place below root, which the helper would change through the link. A file
    // with more than one name keeps more than one, as the helper refuses to
    // split such a file.
    void copyTree(const QString &from)
    {
        if (!QFileInfo(from).isDir()) {
            return;
        }
        const QString to = m_root + from;
        makeDirectory(to, QFileInfo(from));
        QDirIterator it(from, entryFilter, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            const QString path = it.next();
            const QFileInfo info = it.fileInfo();
            const QString copy = to + path.mid(from.size());
            if (info.isDir()) {
                if (!info.isReadable() || !info.isExecutable()) {
                    m_unreadable->append(path);
                }
                makeDirectory(copy, info);
            } else if (info.isSymLink() && info.isFile()) {
                const QString target = info.canonicalFilePath();
                const QString stored = copyFile(target, m_root + target);
                if (stored.isEmpty()) {
                    // What the helper would change through the link is not here.
                    m_unreadable->append(path);
                } else {
                    makeLink(stored, copy, false);
                }
            } else if (info.isSymLink()) {
                // A link to no file, or to a FIFO or device, the helper passes
                // over too; one into a directory the caller may not search leads
                // to a file the copies lack.
                struct stat status;
                if (::stat(QFile::encodeName(path).constData(), &status) != 0 && errno == EACCES) {
                    m_unreadable->append(path);
                }
            } else if (info.isFile()) {
                copyFile(path, copy);
            }
        }
    }

    // Why a copy could not be made (a full disk): the preview would be of
    // other files. Empty when every copy was made.
    QString failure() const
    {
        return m_failure;
    }

private:
    void makeDirectory(const QString &path, const QFileInfo &original)
    {
        QDir().mkpath(path);
        // Always the owner's to write and remove, whatever the original allows.
        QFile::setPermissions(path, original.permissions() | QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // Makes a name at path for the copy at target: a second name (hard) or a
    // symbolic link; a failure fails the preview.
    void makeLink(const QString &target, const QString &path, bool hard)
    {
        QDir().mkpath(QFileInfo(path).path());
        const QByteArray from = QFile::encodeName(target);
        const QByteArray to = QFile::encodeName(path);
        if ((hard ? ::link(from.constData(), to.constData()) : ::symlink(from.constData(), to.constData())) != 0 && m_failure.isEmpty()) {
            m_failure = i18n("Cannot copy %1 for the preview: %2", path, QString::fromLocal8Bit(std::strerror(errno)));
        }
    }

    // Copies from to to, and returns where the copy is; empty when there is
    // none. A file copied before is met again as the helper meets it: by another
    // of its names (a file with several, which the helper refuses to split), or
    // by another way to its one name (a linked directory, a link to it).
    QString copyFile(const QString &from, const QString &to)
    {
        struct stat status;
        if (::stat(QFile::encodeName(from).constData(), &status) != 0) {
            m_unreadable->append(from);
            return QString();
        }
        const QString identity = QStringLiteral("%1-%2").arg(quint64(status.st_dev)).arg(quint64(status.st_ino));
        if (m_copies.contains(identity)) {
            const QString first = m_copies.value(identity);
            if (first != to && !QFileInfo(to).exists() && !QFileInfo(to).isSymLink()) {
                makeLink(first, to, status.st_nlink > 1);
            }
            return first;
        }
        QByteArray data;
        QString error;
        if (!AtomicFile::read(from, &data, &error)) {
            m_unreadable->append(from);
            return QString();
        }
        QDir().mkpath(QFileInfo(to).path());
        QFile file(to);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.flush()) {
            m_failure = i18n("Cannot copy %1 for the preview: %2", from, file.errorString());
            return QString();
        }
        file.close();
        file.setPermissions(QFileInfo(from).permissions());
        m_copies.insert(identity, to);
        // A second name the copies may not reach (outside the directories).
        if (status.st_nlink > 1) {
            makeLink(to, m_links + QLatin1Char('/') + identity, true);
        }
        return to;
    }

    QString m_root;
    QString m_links;
    QStringList *m_unreadable;
    QHash<QString, QString> m_copies; // device and inode of a file copied: its copy
    QString m_failure;
};

// diff(1)'s unified diff of the file at system path, before and after; with
// "a/" and "b/" before the paths, as patch -p1 takes them.
QByteArray unifiedDiff(const QString &path, const QString &before, const QString &after)
{
    const bool created = before.isEmpty();
    QProcess diff;
    diff.setStandardInputFile(QProcess::nullDevice());
    diff.start(QStringLiteral("/usr/bin/diff"),
               {QStringLiteral("-u"),
                QStringLiteral("-a"),
                QStringLiteral("--label"),
                created ? QStringLiteral("/dev/null") : QLatin1String("a") + path,
                QStringLiteral("--label"),
                QLatin1String("b") + path,
                created ? QStringLiteral("/dev/null") : before,
                after});
    diff.waitForFinished(60000);
    return diff.readAllStandardOutput();
}

DryRun::Backup backupState()
{
    const ConfigurationBackup backup;
    if (geteuid() == 0) {
        return backup.hasBootBackup() ? DryRun::Backup::Exists : DryRun::Backup::WouldBeMade;
    }
    // Only root may look into the record's directory, which exists only once a
    // backup of this boot is made, or being made.
    return QFileInfo::exists(QFileInfo(backup.bootRecordPath()).path()) ? DryRun::Backup::Unknown : DryRun::Backup::WouldBeMade;
}

QString backupName(DryRun::Backup backup)
{
    switch (backup) {
    case DryRun::Backup::WouldBeMade:
        return QStringLiteral("would-be-made");
    case DryRun::Backup::Exists:
        return QStringLiteral("exists");
    case DryRun::Backup::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString backupText(DryRun::Backup backup)
{
    switch (backup) {
    case DryRun::Backup::WouldBeMade:
        return i18n("The helper would first back the configuration up to %1.", ConfigurationBackup::backupDirectory());
    case DryRun::Backup::Exists:
        return i18n("The configuration was backed up in this boot already: no new backup would be made.");
    case DryRun::Backup::Unknown:
        break;
    }
    return i18n("The helper would first back the configuration up to %1, unless it did so in this boot already (only root can tell).",
                ConfigurationBackup::backupDirectory());
}
}

QStringList DryRun::directories()
{
    // Those the editors themselves take.
    return ModprobeEditor().modprobeDirectories() << QFileInfo(XorgConfig::driverSnippetPath()).path();
}

DryRun::Preview DryRun::preview(const QVariantMap &request)
{
    Preview preview;
    preview.backup = backupState();
    QTemporaryDir copies;
    if (!copies.isValid()) {
        preview.failure = i18n("Cannot make a folder for the copies: %1", copies.errorString());
        return preview;
    }
    // Every user may pass, as through the system's own directories: the editors
    // name a file in a message only where every user may read it.
    QFile::setPermissions(copies.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
    QTemporaryDir links;
    if (!links.isValid()) {
        preview.failure = i18n("Cannot make a folder for the copies: %1", links.errorString());
        return preview;
    }
    Copier copier(copies.path(), links.path(), &preview.unreadable);
    for (const QString &directory : directories()) {
        copier.copyTree(directory);
    }
    if (!copier.failure().isEmpty()) {
        preview.failure = copier.failure();
        return preview;
    }
    const ConfigurationSwitch::Outcome outcome = ConfigurationSwitch(copies.path()).apply(ConfigurationSwitch::entriesOf(request), nullptr);
    preview.failure = outcome.failure;
    if (!preview.failure.isEmpty()) {
        return preview;
    }
    // Every file of the copies, those reached through links included.
    {
        QDirIterator it(copies.path(), entryFilter, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!it.fileInfo().isFile() || it.fileInfo().isSymLink()) {
                continue;
            }
            const QString system = path.mid(copies.path().size());
            const bool created = !QFileInfo::exists(system);
            if (preview.unreadable.contains(system)) {
                continue;
            }
            QByteArray before;
            QByteArray after;
            QString error;
            if (!created && AtomicFile::read(system, &before, &error) && AtomicFile::read(path, &after, &error) && before == after) {
                continue;
            }
            preview.files.append({system, created, unifiedDiff(system, created ? QString() : system, path)});
        }
    }
    std::sort(preview.files.begin(), preview.files.end(), [](const FileChange &a, const FileChange &b) {
        return a.path < b.path;
    });
    const InitramfsUpdate initramfs;
    if (initramfs.hasImage()) {
        preview.initramfsImage = initramfs.image();
        // An image only root may read (as dracut makes them) cannot be looked into
        // here; without a changed modprobe file the helper does not look either.
        preview.initramfsKnown = outcome.changedModprobeFiles.isEmpty() || QFileInfo(initramfs.image()).isReadable();
        if (preview.initramfsKnown) {
            preview.initramfsReason = initramfs.reasonToUpdate(outcome.changedModprobeFiles, outcome.switchedModules);
        }
    }
    return preview;
}

int DryRun::print(const Preview &preview)
{
    if (!preview.failure.isEmpty()) {
        reportError(preview.failure);
        return -1;
    }
    if (JsonOutput::enabled()) {
        QJsonArray files;
        for (const FileChange &change : preview.files) {
            QJsonObject file{{QStringLiteral("path"), change.path},
                             {QStringLiteral("created"), change.created},
                             {QStringLiteral("diff"), QString::fromUtf8(change.diff)}};
            // JSON holds text: bytes that are not UTF-8 come exactly only so.
            if (QString::fromUtf8(change.diff).toUtf8() != change.diff) {
                file.insert(QStringLiteral("diffBase64"), QString::fromLatin1(change.diff.toBase64()));
            }
            files.append(file);
        }
        JsonOutput::print({{QStringLiteral("dryRun"), true},
                           {QStringLiteral("backup"), backupName(preview.backup)},
                           {QStringLiteral("files"), files},
                           {QStringLiteral("unreadable"), QJsonArray::fromStringList(preview.unreadable)},
                           {QStringLiteral("initramfs"),
                            QJsonObject{{QStringLiteral("image"), preview.initramfsImage.isEmpty() ? QJsonValue() : QJsonValue(preview.initramfsImage)},
                                        {QStringLiteral("rebuild"), preview.initramfsKnown ? QJsonValue(!preview.initramfsReason.isEmpty()) : QJsonValue()},
                                        {QStringLiteral("reason"), preview.initramfsReason.isEmpty() ? QJsonValue() : QJsonValue(preview.initramfsReason)}}}});
        return 0;
    }
    // The remarks come first: patch passes over them to the diffs.
    for (const QString &path : preview.unreadable) {
        standardOutput() << i18n("Cannot read %1: the preview leaves it out (run it as root to see all).", path) << Qt::endl;
    }
    if (preview.files.isEmpty()) {
        standardOutput() << i18n("The switch would change no file.") << Qt::endl;
        return 0;
    }
    standardOutput() << backupText(preview.backup) << Qt::endl;
    if (!preview.initramfsReason.isEmpty()) {
        standardOutput() << i18n("The initramfs would be rebuilt, because %1.", preview.initramfsReason) << Qt::endl;
    } else if (!preview.initramfsKnown) {
        standardOutput() << i18n("Whether the initramfs %1 would be rebuilt only root can tell.", preview.initramfsImage) << Qt::endl;
    }
    standardOutput().flush();
    // The diffs as diff wrote them, whatever bytes the files hold.
    for (const FileChange &change : preview.files) {
        std::fwrite(change.diff.constData(), 1, size_t(change.diff.size()), stdout);
    }
    std::fflush(stdout);
    return 0;
}
