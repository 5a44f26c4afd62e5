// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "atomicfile.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Puts the helper's configuration backup back: every file of the backup over its
// original (in /etc/modprobe.d, /etc/X11/xorg.conf.d and /lib/modprobe.d),
// through symbolic links where the original is one. The helper's own files (its
// blacklist file and XOrg snippets) that the backup does not have were written
// after it and are removed; other files are left alone. Paths are taken below root.
class BackupRestorer
{
public:
    struct Copy {
        QString from; // empty when to is removed
        QString to;
        bool changes; // false when the file there is already the same
        QString problem; // why it cannot be restored; empty when it can
        // The owner, group and mode the file had when it was backed up.
        AtomicFile::Ownership ownership = {0, 0, 0644};
        // Whether the backup recorded it; without a record (older backups) a file
        // that still exists keeps its owner and mode.
        bool recorded = false;
    };

    explicit BackupRestorer(const QString &root = QString());

    bool hasBackup() const;
    // What makes the backup untrustworthy, one line per entry: a backup tree that
    // is a link, or an entry in it that does not belong to the restoring user
    // (root) or that others may write. Nothing may be restored from such a tree:
    // its content could come from anyone.
    QStringList untrustedEntries() const;
    // The system directories of which the backup holds no copy at all (a backup
    // made by an earlier version, or cut short): their files are left alone.
    QStringList missingDirectories() const;
    // What restoring would do, in a stable order.
    QList<Copy> plan() const;
    // Copies (or removes) every file of the plan that changes something and
    // reports each through done. Goes on past a file that fails; returns one
    // line, naming the file and the reason, for each that could not be restored.
    QStringList restore(const QList<Copy> &plan, const std::function<void(const Copy &)> &done) const;

private:
    QString m_root;
};
