// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorgconfig.h"
#include "atomicfile.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

XorgConfig::XorgConfig(const QString &root)
    : m_root(root)
{
}

QString XorgConfig::driverSnippetPath()
{
    return QStringLiteral("/etc/X11/xorg.conf.d/20-kiv-admin-driver.conf");
}

QString XorgConfig::tearingSnippetPath(const QString &vendor)
{
    return QStringLiteral("/etc/X11/xorg.conf.d/20-") + vendor + QStringLiteral("-tearing.conf");
}

void XorgConfig::appendDeviceSection(const QString &modelName, const QString &busId, const QString &xorgDriver)
{
    QString text = QStringLiteral("Section \"Device\"\n");
    text += QStringLiteral("    Identifier \"%1-%2\"\n").arg(modelName, busId);
    text += QStringLiteral("    Driver \"%1\"\n").arg(xorgDriver);
    text += QStringLiteral("    BusID \"%1\"\n").arg(busId);
    text += QStringLiteral("EndSection\n\n");
    m_sections.append({busId, text});
}

QString XorgConfig::text() const
{
    QString text;
    for (const auto &section : m_sections) {
        text += section.second;
    }
    return text;
}

QString XorgConfig::merged(const QString &old, const QList<QPair<QString, QString>> &sections)
{
    // X keywords are case-insensitive; a section runs to its EndSection line and
    // takes the empty lines after it along.
    static const QRegularExpression deviceSection(
        QStringLiteral("^[ \t]*Section[ \t]+\"Device\"[^\n]*\n(?:[^\n]*\n)*?[ \t]*EndSection[^\n]*(?:\n|$)(?:[ \t]*\n)*"),
        QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression busIdLine(QStringLiteral("^[ \t]*BusID[ \t]+\"([^\"]*)\""),
                                              QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
    QString result;
    QStringList written;
    int position = 0;
    for (auto it = deviceSection.globalMatch(old); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        result += old.mid(position, match.capturedStart() - position);
        position = match.capturedEnd();
        const QString busId = busIdLine.match(match.captured()).captured(1);
        const auto replacement = std::find_if(sections.cbegin(), sections.cend(), [&busId](const QPair<QString, QString> &section) {
            return !busId.isEmpty() && section.first == busId;
        });
        if (replacement == sections.cend()) {
            result += match.captured();
        } else if (!written.contains(busId)) {
            result += replacement->second;
            written.append(busId);
        }
    }
    result += old.mid(position);
    if (!result.isEmpty() && !result.endsWith(QLatin1Char('\n'))) {
        result += QLatin1Char('\n');
    }
    for (const auto &section : sections) {
        if (!written.contains(section.first)) {
            result += section.second;
            written.append(section.first);
        }
    }
    return result;
}

bool XorgConfig::writeXOrgConfig()
{
    if (m_sections.isEmpty()) {
        return true;
    }
    const QString path = m_root + driverSnippetPath();
    QByteArray old;
    QString error;
    if (QFileInfo::exists(path) && !AtomicFile::read(path, &old, &error)) {
        qDebug().noquote() << QStringLiteral("Cannot create / edit ") + path + QLatin1String(" file: ") + error;
        return false;
    }
    const QString text = merged(QString::fromLatin1(old.constData(), old.size()), m_sections);
    if (!AtomicFile::write(path, text.toLatin1(), &error)) {
        qDebug().noquote() << QStringLiteral("Cannot create / edit ") + path + QLatin1String(" file: ") + error;
        return false;
    }
    return true;
}

bool XorgConfig::writeTearingSnippet(const QString &vendor, const QString &driverName, const QString &shouldEnable)
{
    const QString text = QStringLiteral("Section \"Device\"\n") + QStringLiteral("    Identifier \"Intel Graphics\"\n") + QStringLiteral("    Driver \"")
        + driverName + QStringLiteral("\"\n") + QStringLiteral("    Option \"TearFree\" \"") + shouldEnable + QStringLiteral("\"\n")
        + QStringLiteral("EndSection\n");
    QString error;
    if (!AtomicFile::write(m_root + tearingSnippetPath(vendor), text.toLocal8Bit(), &error)) {
        qDebug().noquote() << QStringLiteral("Cannot write ") + m_root + tearingSnippetPath(vendor) + QLatin1String(": ") + error;
        return false;
    }
    return true;
}
