// SPDX-License-Identifier: GPL-2.0-or-later
#include "picomconfig.h"
#include "atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

PicomConfig::PicomConfig(const QString &home, const QString &systemConfig)
    : m_home(home)
    , m_systemConfig(systemConfig)
{
}

QString PicomConfig::userConfig() const
{
    const QStringList candidates{m_home + QStringLiteral("/.config/picom.conf"),
                                 m_home + QStringLiteral("/.config/picom/picom.conf"),
                                 m_home + QStringLiteral("/.config/compton.conf"),
                                 m_home + QStringLiteral("/.compton.conf")};
    for (const QString &candidate : candidates) {
        if (QFileInfo::exists(candidate)) {
            return candidate;
        }
    }
    return candidates.first();
}

QString PicomConfig::includeLine(const QString &receiving, const QString &file)
{
    return QStringLiteral("@include \"%1\"").arg(QFileInfo(receiving).absoluteDir().relativeFilePath(file));
}

PicomConfig::Result PicomConfig::include(const QString &file) const
{
    const QString receiving = userConfig();
    QByteArray data;
    QString error;
    if (QFileInfo::exists(receiving)) {
        if (!AtomicFile::read(receiving, &data, &error)) {
            return ReadFailed;
        }
    } else if (QFileInfo::exists(m_systemConfig) && !AtomicFile::read(m_systemConfig, &data, &error)) {
        return ReadFailed;
    }
    const QString wanted = includeLine(receiving, file);
    const QString receivingFolder = QFileInfo(receiving).absolutePath();
    QStringList lines = QString::fromUtf8(data).split(QLatin1Char('\n'));
    bool found = false;
    bool changed = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (!line.startsWith(QLatin1String("@include"))) {
            continue;
        }
        QString named = line.mid(8).trimmed();
        if (named.size() >= 2 && named.startsWith(QLatin1Char('"')) && named.endsWith(QLatin1Char('"'))) {
            named = named.mid(1, named.size() - 2);
        }
        if (QFileInfo(QDir(receivingFolder), named).absoluteFilePath() != QFileInfo(file).absoluteFilePath()) {
            continue;
        }
        if (found) {
            lines.removeAt(i--);
            changed = true;
        } else {
            found = true;
            changed = changed || lines.at(i) != wanted;
            lines[i] = wanted;
        }
    }
    if (!found) {
        if (!lines.isEmpty() && lines.last().isEmpty()) {
            lines.removeLast();
        }
        lines.append(wanted);
        lines.append(QString());
        changed = true;
    }
    if (!changed) {
        return Included;
    }
    QDir().mkpath(receivingFolder);
    return AtomicFile::write(receiving, lines.join(QLatin1Char('\n')).toUtf8(), &error) ? Included : WriteFailed;
}
