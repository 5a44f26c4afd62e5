// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "atomicfile.h"

#include <QList>
#include <QMap>
#include <QString>

// The copy of the modprobe and XOrg snippet configuration made before the first
// change after each boot, for kiv-admin-driver-restore to put back. Paths are
// taken below root.
//
// Whether this boot's backup exists is decided from a record in /run, which only
// root can write and which is emptied at boot; it is written only once the
// backup is complete and in place. The marker in /tmp, which any user can create
// or take, is still made for whatever looks for it, but decides nothing.
//
// The backup holds the content of every regular file the helper may edit, the
// content behind symbolic links included. Copies and directories belong to root
// and are readable by root only; each backed-up directory keeps a record of the
// owner, group and mode its files and directories had. A new backup replaces
// the previous one as a whole, and only once it is complete.
class ConfigurationBackup
{
public:
    // One backed-up directory: its name inside the backup directory and the
    // system directory it copies.
    struct Source {
        QString backupName;
        QString systemPath;
    };

    // What the record of one backed-up directory says: whether the directory
    // existed, and the owner, group and mode of each entry by its path relative
    // to the directory ("." for the directory itself).
    struct Record {
        bool existed = false;
        QMap<QString, AtomicFile::Ownership> entries;
    };

    explicit ConfigurationBackup(const QString &root = QString());

    static QString backupDirectory();
    // /etc/modprobe.d, /etc/X11/xorg.conf.d and /lib/modprobe.d. The helper also
    // edits /run/modprobe.d, whose files vanish at the next boot with its edits.
    static QList<Source> sources();
    // The name of the ownership record inside each backed-up directory.
    static QString recordName();
    // Reads the record of a backed-up directory; false when there is none or it
    // cannot be read.
    static bool readRecord(const QString &backedUpDirectory, Record *record);

    QString markerPath() const;
    QString bootRecordPath() const;

    // Makes the backup unless this boot's backup exists. False when there is none
    // and none could be made: no change may then be made.
    bool backupOnce();
    bool hasBootBackup() const;

    // The marker in /tmp, true only if this call created it. A marker counts only
    // if it is a regular file of the helper's own user, not a link: anything else
    // in its place, which any user can create in /tmp, is taken away first.
    bool createBackupMarker();
    bool backupConfiguration();

private:
    bool prepareBackupDirectory() const;
    void removeLeftovers() const;
    bool copyDirectory(const QString &from, const QString &to) const;
    bool replaceBackup(const QString &staging) const;
    bool writeBootRecord() const;

    QString m_root;
};
