// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

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
    QString text() const
    {
        return m_text;
    }
    void clear()
    {
        m_text.clear();
    }

    // Writes the Device sections collected; with none, an existing snippet stays.
    bool writeXOrgConfig();
    bool writeTearingSnippet(const QString &vendor, const QString &driverName, const QString &shouldEnable);

private:
    QString m_root;
    QString m_text;
};
