// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The copy of the modprobe and XOrg snippet configuration made before the first
// change while a marker in /tmp does not exist (so again after a reboot empties
// /tmp), for kiv-admin-driver-restore to put back. Paths are taken below root.
class ConfigurationBackup
{
public:
    explicit ConfigurationBackup(const QString &root = QString());

    static QString backupDirectory();
    QString markerPath() const;

    // Backs up unless the marker exists; a failed copy is only a warning.
    void backupOnce();

    bool createBackupMarker();
    bool backupConfiguration();
    void createBackupDirectory();

private:
    QString m_root;
};
