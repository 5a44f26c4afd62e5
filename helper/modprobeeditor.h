// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QPair>
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

// Switches kernel modules in the modprobe configuration: lifts the entries that
// keep the new module from loading and blacklists the current one, by restoring
// its entries commented out earlier or by appending a line to our own blacklist
// file. Lines are disabled by a leading "#" and enabled by taking it away, so a
// switch back finds and restores the same lines.
//
// Files are read as kmod reads them: white space before a command, module names
// as whole words with "-" and "_" the same, lines continued with a backslash.
// What keeps a module from loading: "blacklist NAME", and "install NAME" with
// nothing but /bin/false or /bin/true as its command; "alias NAME ..." lines
// take the name over.
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
    bool commentOutEntries(const QString &keyword, const ModuleSwitch &names);
    bool uncommentEntries(const QString &keyword, bool appendIfNone, const ModuleSwitch &names);
    bool appendBlacklistEntry(const ModuleSwitch &names);

    // One line kmod reads, perhaps made of several lines of the file.
    struct Line {
        int number = 0; // of its first line in the file, from 1
        int start = 0; // offset of that line in the text
        bool continued = false; // the line ends with a backslash: kmod reads on
        QStringList words; // empty for a comment or an empty line
    };
    static QList<Line> lines(const QString &text);
    // The name as kmod compares it.
    static QString normalName(const QString &name);

    // Why the last commentOutEntries failed beyond a file's error, for the reply:
    // an entry it cannot undo safely. Names the file only where every user may
    // read it anyway.
    QString lastProblem() const
    {
        return m_problem;
    }

    // The files written since the last call, as system paths.
    QStringList takeChangedFiles();

private:
    enum class Kind { None, Entry, Unsafe };
    // Whether line is an active entry of keyword for one of names.
    static Kind classify(const Line &line, const QString &keyword, const QStringList &names);
    // Each commented entry of keyword for one of names: the offset and length of
    // the mark and blanks that enabling it removes.
    static QList<QPair<int, int>> commentedEntries(const QString &text, const QString &keyword, const QStringList &names);

    QStringList files() const;
    // The path and text of each of files() that can be read.
    QList<QPair<QString, QString>> texts() const;
    bool isReadByKmod(const QString &path) const;
    bool rewrite(const QString &path, const QString &keyword, const QStringList &names, bool enable);
    void reportUnsafe(const QString &path, const Line &line, const QString &module);

    void noteChanged(const QString &path);

    QString m_root;
    QString m_problem;
    QStringList m_changed;
};
