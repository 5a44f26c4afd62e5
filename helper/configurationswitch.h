// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

// The configuration edits of one "replace" request: for each GPU entry, the
// switch of its kernel module in the modprobe configuration and its XOrg driver
// in the driver snippet. The helper runs it on the system, the command line's
// dry run on copies of the files, so that what the preview shows is what the
// helper writes. Paths are taken below root.
class ConfigurationSwitch
{
public:
    struct Outcome {
        QString failure; // why the request was refused or failed; empty on success
        QStringList changedModprobeFiles; // system paths
        QStringList switchedModules; // the names of every module switched from or to
        bool xorgWritten = false; // the driver snippet got sections
    };

    explicit ConfigurationSwitch(const QString &root = QString());

    // The request's GPU entries ("data").
    static QVariantList entriesOf(const QVariantMap &arguments);

    // Checks every entry, then calls beforeChanges (where the helper makes its
    // backup), whose non-empty answer fails the request unchanged, then makes the
    // edits, stopping at the first failure.
    Outcome apply(const QVariantList &requested, const std::function<QString()> &beforeChanges) const;

private:
    static QVariantList orderEntries(const QVariantList &entries);

    QString m_root;
};
