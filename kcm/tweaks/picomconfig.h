// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The user's picom configuration, and how tearing prevention reaches it: picom
// includes a file of ours (the tweaks file) that sets what prevention needs.
//
// picom (libconfig) refuses a configuration that names a setting twice, so the
// tweaks file sets only what the user's configuration leaves open: "vsync",
// which is the point, unless the user's own already says true; "backend" and
// "use-damage" only where the user chose nothing. A "vsync" of the user's that
// says anything else is commented out, marked, while prevention is on, and
// restored when it is switched off.
//
// picom takes an include path relative to the including file's folder and must
// see it in quotes: an unquoted or absolute path makes the whole configuration a
// syntax error, and picom then refuses to start.
//
// The user's file is changed only where the module means to: every other byte,
// the file's owner, group, mode and links stay. A file the user made read-only is
// left alone.
class PicomConfig
{
public:
    enum Result {
        Done,
        ReadFailed, // a configuration file could not be read
        WriteFailed, // the user's configuration could not be changed
        TweaksFailed, // the tweaks file could not be written
        Conflict, // a "vsync" of the user's that cannot be set aside (see problem())
    };

    // configHome and configDirs as $XDG_CONFIG_HOME and $XDG_CONFIG_DIRS give them;
    // empty for their defaults (home/.config and /etc/xdg).
    PicomConfig(const QString &home, const QString &configHome = QString(), const QStringList &configDirs = QStringList());
    // As picom sees it in this session.
    static PicomConfig fromEnvironment(const QString &home);

    // The configuration picom reads, in its own order: in the user's configuration
    // folder picom.conf, picom/picom.conf, compton.conf, compton/compton.conf, then
    // ~/.compton.conf, then the same four names in each system folder. Empty when
    // there is none.
    QString configuredFile() const;
    // The file the include goes into: the user's configuration picom reads, or a
    // new picom.conf in the user's folder, made from the system's that picom
    // read until then.
    QString userConfig() const;

    // The include line for file, as the configuration at receiving must name it.
    static QString includeLine(const QString &receiving, const QString &file);
    // Whether text is the tweaks file of prevention switched on (also as earlier
    // versions wrote it).
    static bool isPreventionOn(const QByteArray &text);

    // Writes the tweaks file and prepares the user's configuration for it, in an
    // order that never leaves a setting named twice.
    Result setTearingPrevention(bool enable, const QString &tweaksFile);
    // What a Conflict was about, for the user.
    QString problem() const
    {
        return m_problem;
    }

    // One setting at the top level of a configuration: its name, its value as
    // written, and its first and last line (from 0). alone: nothing else of the
    // configuration stands on those lines.
    struct Setting {
        QString name;
        QByteArray value;
        int firstLine = 0;
        int lastLine = 0;
        bool alone = true;
    };
    static QList<Setting> topLevelSettings(const QByteArray &text);
    // The configuration's @include lines (outside comments): their line (from 0)
    // and the path each names, as written.
    static QList<QPair<int, QString>> includeLines(const QByteArray &text);

private:
    QString configHome() const;
    QStringList configDirs() const;
    bool isUsers(const QString &path) const;
    // userConfig(), given the file picom reads.
    QString receivingFor(const QString &configured) const;
    // The settings of the configuration at path (text) and the files it includes
    // (named relative to base's folder), but not skip; false when one cannot be read.
    bool collectSettings(const QString &base,
                         const QString &path,
                         const QByteArray &text,
                         const QString &skip,
                         int depth,
                         QList<QPair<QString, Setting>> *settings) const;

    QString m_home;
    QString m_configHome;
    QStringList m_configDirs;
    QString m_problem;
};
