// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The X server configuration snippets the helper writes: one driver snippet
// that pins each GPU's XOrg driver to its bus address, and one TearFree snippet
// per vendor. Paths are taken below root, empty for the real system.
class XorgConfig
{
public:
    explicit XorgConfig(const QString &root = QString());

    static QString driverSnippetPath();
    static QString tearingSnippetPath(const QString &vendor);

    void appendDeviceSection(const QString &modelName, const QString &busId, const QString &xorgDriver);
    // The Device sections collected, in order.
    QString text() const;
    void clear()
    {
        m_sections.clear();
    }

    // Writes the Device sections collected into the driver snippet; with none, an
    // existing snippet stays as it is. A section there for a GPU (BusID) that got
    // no new section is kept: a request may name only some of the GPUs.
    bool writeXOrgConfig();

    // The snippet text old with sections replacing those of the same BusID in
    // place and the others appended; everything else of old is kept.
    static QString merged(const QString &old, const QList<QPair<QString, QString>> &sections);
    bool writeTearingSnippet(const QString &vendor, const QString &driverName, const QString &shouldEnable);

private:
    QString m_root;
    QList<QPair<QString, QString>> m_sections; // bus ID, section text
};
