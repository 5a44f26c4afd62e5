// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>

// The two kernel modules of one switch, each by its real (libhd) and display
// (kernel) name.
struct ModuleSwitch {
    QString currentRealName;
    QString currentDisplayName;
    QString newRealName;
    QString newDisplayName;
};

// Switches kernel modules in the modprobe configuration: lifts the blacklist
// and alias entries that disable the new module and blacklists the current one,
// by restoring its entries commented out earlier or by appending a line to our
// own blacklist file. Lines are disabled by a leading "#" and enabled by taking
// it away, so a switch back finds and restores the same lines.
//
// Every path is taken below root, empty for the real system.
class ModprobeEditor
{
public:
    explicit ModprobeEditor(const QString &root = QString());

    static QString blacklistFile();

    // The four steps of a switch, stopping at the first failure; returns the
    // error text of the step that failed, or an empty string.
    QString switchModule(const ModuleSwitch &names);

    QStringList modprobeDirectories() const;
    QStringList filesMatching(const QRegularExpression &pattern) const;
    bool commentOutEntries(const QString &keyword, const ModuleSwitch &names);
    bool uncommentEntries(const QString &keyword, bool appendIfNone, const ModuleSwitch &names);
    bool appendBlacklistEntry(const ModuleSwitch &names);

    // "keyword name..." at the start of a line, for either name of the module.
    static QRegularExpression activeEntryPattern(const QString &keyword, const QString &realName, const QString &displayName);
    // "#keyword name..." preceded on its line by nothing but "#" marks and
    // blanks; group 1 is the mark and the blanks that enabling it removes.
    static QRegularExpression commentedEntryPattern(const QString &keyword, const QString &realName, const QString &displayName);

private:
    bool rewrite(const QString &path, const QRegularExpression &pattern, bool enable);

    QString m_root;
};
