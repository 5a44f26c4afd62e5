// SPDX-License-Identifier: GPL-2.0-or-later
#include "modprobeeditor.h"
#include "atomicfile.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace
{
const QString blacklist = QStringLiteral("blacklist");
const QString alias = QStringLiteral("alias");

// Alternatives of the module's names; an empty name would match every entry
// with the keyword, so it is left out. Without any name the pattern matches
// nothing.
QString alternatives(const QString &realName, const QString &displayName)
{
    QStringList names;
    for (const QString &name : {realName, displayName}) {
        if (!name.isEmpty()) {
            names.append(QRegularExpression::escape(name));
        }
    }
    return names.isEmpty() ? QStringLiteral("(?!)") : names.join(QLatin1Char('|'));
}

// Latin-1 maps every byte to one character and back, NUL included (the
// QByteArray overload would stop at the first NUL, and kmod reads on past it):
// an edit changes only the "#" it adds or removes, whatever the encoding of the
// rest of the file. The keywords and module names sought are plain ASCII.
QString textOf(const QByteArray &data)
{
    return QString::fromLatin1(data.constData(), data.size());
}
}

ModprobeEditor::ModprobeEditor(const QString &root)
    : m_root(root)
{
}

QString ModprobeEditor::blacklistFile()
{
    return QStringLiteral("/etc/modprobe.d/kiv-admin-driver-blacklists.conf");
}

QRegularExpression ModprobeEditor::activeEntryPattern(const QString &keyword, const QString &realName, const QString &displayName)
{
    return QRegularExpression(QStringLiteral("^%1[ \t]+(%2)").arg(QRegularExpression::escape(keyword), alternatives(realName, displayName)),
                              QRegularExpression::MultilineOption);
}

QRegularExpression ModprobeEditor::commentedEntryPattern(const QString &keyword, const QString &realName, const QString &displayName)
{
    return QRegularExpression(QStringLiteral("^[# \t]*(#[ \t]*)%1[ \t]+(%2)").arg(QRegularExpression::escape(keyword), alternatives(realName, displayName)),
                              QRegularExpression::MultilineOption);
}

QString ModprobeEditor::switchModule(const ModuleSwitch &names)
{
    if (!commentOutEntries(blacklist, names)) {
        return QStringLiteral("New driver blacklists error");
    }
    if (!uncommentEntries(blacklist, true, names)) {
        return QStringLiteral("Current driver blacklists error");
    }
    if (!commentOutEntries(alias, names)) {
        return QStringLiteral("New driver alias error");
    }
    if (!uncommentEntries(alias, false, names)) {
        return QStringLiteral("Current driver alias error");
    }
    return QString();
}

QStringList ModprobeEditor::modprobeDirectories() const
{
    QStringList directories;
    for (const char *directory : {"/lib/modprobe.d", "/etc/modprobe.d", "/run/modprobe.d"}) {
        const QString path = m_root + QLatin1String(directory);
        if (QFileInfo(path).isDir()) {
            directories.append(path);
        }
    }
    return directories;
}

QStringList ModprobeEditor::filesMatching(const QRegularExpression &pattern) const
{
    QStringList files;
    const QStringList directories = modprobeDirectories();
    for (const QString &directory : directories) {
        QDirIterator it(directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            const QString path = it.next();
            // Only regular files, directly or behind a link: a FIFO would block the
            // read for good, a device could feed it without end.
            if (!it.fileInfo().isFile()) {
                continue;
            }
            QByteArray data;
            QString error;
            if (!AtomicFile::read(path, &data, &error)) {
                qDebug().noquote() << QStringLiteral("Error reading file ") + QFileInfo(path).absoluteFilePath() + QLatin1String(": ") + error;
                continue;
            }
            if (pattern.match(textOf(data)).hasMatch()) {
                files.append(QFileInfo(path).absoluteFilePath());
            }
        }
    }
    return files;
}

bool ModprobeEditor::rewrite(const QString &path, const QRegularExpression &pattern, bool enable)
{
    QByteArray data;
    QString error;
    if (!AtomicFile::read(path, &data, &error)) {
        qDebug().noquote() << QStringLiteral("Error reading file ") + path + QLatin1String(": ") + error;
        return false;
    }
    QString text = textOf(data);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        qDebug().noquote() << QStringLiteral("Cannot find previously found parameter in file ") + path;
        return false;
    }
    if (enable) {
        text.remove(match.capturedStart(1), match.capturedLength(1));
    } else {
        text.insert(match.capturedStart(), QLatin1Char('#'));
    }
    if (!AtomicFile::write(path, text.toLatin1(), &error)) {
        qDebug().noquote() << QStringLiteral("Error recreating modprobe config file ") + path + QLatin1String(": ") + error;
        return false;
    }
    return true;
}

bool ModprobeEditor::commentOutEntries(const QString &keyword, const ModuleSwitch &names)
{
    const QRegularExpression pattern = activeEntryPattern(keyword, names.newRealName, names.newDisplayName);
    const QStringList files = filesMatching(pattern);
    for (const QString &path : files) {
        if (!rewrite(path, pattern, false)) {
            return false;
        }
    }
    return true;
}

bool ModprobeEditor::uncommentEntries(const QString &keyword, bool appendIfNone, const ModuleSwitch &names)
{
    const QRegularExpression pattern = commentedEntryPattern(keyword, names.currentRealName, names.currentDisplayName);
    const QStringList files = filesMatching(pattern);
    if (appendIfNone && files.isEmpty()) {
        return appendBlacklistEntry(names);
    }
    for (const QString &path : files) {
        if (!rewrite(path, pattern, true)) {
            return false;
        }
    }
    return true;
}

bool ModprobeEditor::appendBlacklistEntry(const ModuleSwitch &names)
{
    const QString path = m_root + blacklistFile();
    QByteArray data;
    QString error;
    if (QFileInfo::exists(path) && !AtomicFile::read(path, &data, &error)) {
        qDebug().noquote() << QStringLiteral("Failed to write to ") + path + QLatin1String(": ") + error;
        return false;
    }
    // A last line without its line break must not run into ours.
    if (!data.isEmpty() && !data.endsWith('\n')) {
        data += '\n';
    }
    data += QStringLiteral("blacklist %1\n").arg(names.currentDisplayName).toUtf8();
    if (!AtomicFile::write(path, data, &error)) {
        qDebug().noquote() << QStringLiteral("Failed to write to ") + path + QLatin1String(": ") + error;
        return false;
    }
    return true;
}
