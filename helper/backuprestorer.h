// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>

#include <QString>
#include <functional>

// Puts the helper's configuration backup back: every file of the backup's
// "modprobe.d" and "xorg.conf.d" over its original in /etc/modprobe.d and
// /etc/X11/xorg.conf.d. The helper's own files (its blacklist file and XOrg
// snippets) that the backup does not have were written after it and are
// removed; other files are left alone. Paths are taken below root.
class BackupRestorer
{
public:
    struct Copy {
        QString from; // empty when to is removed
        QString to;
        bool changes; // false when the file there is already the same
    };

    explicit BackupRestorer(const QString &root = QString());

    bool hasBackup() const;
    // What restoring would copy, in a stable order.
    QList<Copy> plan() const;
    // Copies (or removes) every file of the plan that changes something; reports each file
    // through done, stops at the first failure and returns its reason.
    QString restore(const QList<Copy> &plan, const std::function<void(const Copy &)> &done) const;

private:
    QString m_root;
};
