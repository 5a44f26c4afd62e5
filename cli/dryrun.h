// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

// What a "replace" request would do, found without root and without the
// helper: the helper's own edits run on copies of the configuration
// directories, and each file that comes out otherwise is shown as a unified
// diff (which patch -p1 applies to a copy of the system's files).
class DryRun
{
public:
    enum class Backup { WouldBeMade, Exists, Unknown };

    struct FileChange {
        QString path; // the system path
        bool created = false;
        QByteArray diff;
    };

    struct Preview {
        QString failure; // the helper's refusal or failure text; empty when it would succeed
        Backup backup = Backup::Unknown;
        QVector<FileChange> files;
        // Files the caller may not read: the copies leave them out.
        QStringList unreadable;
        QString initramfsImage; // empty without one
        bool initramfsKnown = true; // false when the image cannot be read here
        QString initramfsReason; // why it would be rebuilt; empty when it would not
    };

    // The directories whose files the helper may edit, as system paths.
    static QStringList directories();

    static Preview preview(const QVariantMap &request);
    // Prints it as text or, with --json, as a JSON document; returns the exit status.
    static int print(const Preview &preview);
};
