// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QString>

// The copy of the modprobe and XOrg snippet configuration made before the first
// change while a marker in /tmp does not exist (so again after a reboot empties
// /tmp), for kiv-admin-driver-restore to put back. Paths are taken below root.
//
// The backup holds the content of every regular file the helper may edit, the
// content behind symbolic links included, with its owner, group and mode. A new
// backup replaces the previous one as a whole, and only once it is complete.
class ConfigurationBackup
{
public:
    // One backed-up directory: its name inside the backup directory and the
    // system directory it copies.
    struct Source {
        QString backupName;
        QString systemPath;
    };

    explicit ConfigurationBackup(const QString &root = QString());

    static QString backupDirectory();
    // /etc/modprobe.d, /etc/X11/xorg.conf.d and /lib/modprobe.d. The helper also
    // edits /run/modprobe.d, whose files vanish at the next boot with its edits.
    static QList<Source> sources();
    QString markerPath() const;

    // Backs up unless a trusted marker exists; a failed backup is only a warning,
    // and is tried again by the next action.
    void backupOnce();

    // True only if this call created the marker. A marker counts only if it is a
    // regular file of the helper's own user, not a link: anything else in its
    // place, which any user can create in /tmp, is taken away first.
    bool createBackupMarker();
    bool backupConfiguration();
    void createBackupDirectory();

private:
    bool copyDirectory(const QString &from, const QString &to) const;
    bool replaceBackup(const QString &staging) const;

    QString m_root;
};
