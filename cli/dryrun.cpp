// SPDX-License-Identifier: GPL-2.0-or-later
#include "dryrun.h"
#include "actions.h"
#include "atomicfile.h"
#include "configurationbackup.h"
#include "configurationswitch.h"
#include "initramfsupdate.h"
#include "jsonoutput.h"

#include <KLocalizedString>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The entries the helper's editors walk: regular files, directly or behind a
// link, in every subdirectory.
constexpr QDir::Filters entryFilter = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden;

bool copyFile(const QString &from, const QString &to, const QFileInfo &info, QStringList *unreadable)
{
    QByteArray data;
    QString error;
    if (!AtomicFile::read(from, &data, &error)) {
        unreadable->append(from);
        return false;
    }
    QDir().mkpath(QFileInfo(to).path());
    QFile file(to);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        return false;
    }
    file.close();
    file.setPermissions(info.permissions());
    return true;
}

// Copies the regular files below from to the same places below root + from, with
// their permission bits (which decide what the editors' messages may name). A
// link to a file stays a link, to a copy of its file at that file's place below
// root, which the helper would change through the link; a file with a second
// name gets one in links, as the helper refuses to split such a file.
void copyTree(const QString &from, const QString &root, const QString &links, QStringList *unreadable)
{
    if (!QFileInfo(from).isDir()) {
        return;
    }
    const QString to = root + from;
    QDir().mkpath(to);
    QFile::setPermissions(to, QFileInfo(from).permissions());
    QDirIterator it(from, entryFilter, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString copy = to + path.mid(from.size());
        if (info.isDir()) {
            if (!info.isReadable() || !info.isExecutable()) {
                unreadable->append(path);
            }
            QDir().mkpath(copy);
            QFile::setPermissions(copy, info.permissions());
        } else if (info.isSymLink() && info.isFile()) {
            const QString target = info.canonicalFilePath();
            if (QFileInfo::exists(root + target) || copyFile(target, root + target, QFileInfo(target), unreadable)) {
                QFile::link(root + target, copy);
            }
        } else if (info.isFile() && !QFileInfo::exists(copy) && copyFile(path, copy, info, unreadable)) {
            struct stat status;
            if (::stat(QFile::encodeName(path).constData(), &status) == 0 && status.st_nlink > 1) {
                ::link(QFile::encodeName(copy).constData(), QFile::encodeName(links + QLatin1Char('/') + QString::number(status.st_ino)).constData());
            }
        }
    }
}

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
    return {QStringLiteral("/lib/modprobe.d"), QStringLiteral("/etc/modprobe.d"), QStringLiteral("/run/modprobe.d"), QStringLiteral("/etc/X11/xorg.conf.d")};
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
    for (const QString &directory : directories()) {
        copyTree(directory, copies.path(), links.path(), &preview.unreadable);
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
            if (!created && preview.unreadable.contains(system)) {
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
        preview.initramfsReason = initramfs.reasonToUpdate(outcome.changedModprobeFiles, outcome.switchedModules);
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
            files.append(QJsonObject{{QStringLiteral("path"), change.path},
                                     {QStringLiteral("created"), change.created},
                                     {QStringLiteral("diff"), QString::fromUtf8(change.diff)}});
        }
        JsonOutput::print({{QStringLiteral("dryRun"), true},
                           {QStringLiteral("backup"), backupName(preview.backup)},
                           {QStringLiteral("files"), files},
                           {QStringLiteral("unreadable"), QJsonArray::fromStringList(preview.unreadable)},
                           {QStringLiteral("initramfs"),
                            QJsonObject{{QStringLiteral("image"), preview.initramfsImage.isEmpty() ? QJsonValue() : QJsonValue(preview.initramfsImage)},
                                        {QStringLiteral("rebuild"), !preview.initramfsReason.isEmpty()},
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
    }
    standardOutput().flush();
    // The diffs as diff wrote them, whatever bytes the files hold.
    for (const FileChange &change : preview.files) {
        std::fwrite(change.diff.constData(), 1, size_t(change.diff.size()), stdout);
    }
    std::fflush(stdout);
    return 0;
}
