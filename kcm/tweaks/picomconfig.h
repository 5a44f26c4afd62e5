// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The user's picom configuration, and the include line that adds a file of
// settings to it.
//
// picom (libconfig) takes an include path relative to the including file's
// folder and must see it in quotes: an unquoted or absolute path makes the whole
// configuration a syntax error, and picom then refuses to start.
class PicomConfig
{
public:
    enum Result { Included, ReadFailed, WriteFailed };

    explicit PicomConfig(const QString &home, const QString &systemConfig = QStringLiteral("/etc/xdg/picom.conf"));

    // The configuration picom reads for the user: the first that exists of
    // ~/.config/picom.conf, ~/.config/picom/picom.conf and the older names
    // ~/.config/compton.conf and ~/.compton.conf; ~/.config/picom.conf when none does.
    QString userConfig() const;

    // The include line for file, as the configuration at receiving must name it.
    static QString includeLine(const QString &receiving, const QString &file);

    // Makes the user's configuration include file, once: an include line that
    // names file in another form (an absolute, unquoted path as earlier versions
    // wrote it) is replaced. A user without a configuration of their own gets the
    // system's, which picom used until then, plus the line.
    Result include(const QString &file) const;

private:
    QString m_home;
    QString m_systemConfig;
};
