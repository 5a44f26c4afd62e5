// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorgconfig.h"
#include "atomicfile.h"

#include <QDebug>

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
    m_text += QStringLiteral("Section \"Device\"\n");
    m_text += QStringLiteral("    Identifier \"%1-%2\"\n").arg(modelName, busId);
    m_text += QStringLiteral("    Driver \"%1\"\n").arg(xorgDriver);
    m_text += QStringLiteral("    BusID \"%1\"\n").arg(busId);
    m_text += QStringLiteral("EndSection\n\n");
}

bool XorgConfig::writeXOrgConfig()
{
    if (m_text.isEmpty()) {
        return true;
    }
    const QString path = m_root + driverSnippetPath();
    QString error;
    if (!AtomicFile::write(path, m_text.toLatin1(), &error)) {
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
