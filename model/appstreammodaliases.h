// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// The hardware that AppStream's catalogue says packages support: the
// "Provides: modaliases:" of the components of DEP-11 metadata, which APT
// fetches wherever the appstream package is installed, into
// /var/lib/apt/lists/*_dep11_Components-<arch>.yml.gz. Debian keeps there what
// its firmware packages are for (firmware-amd-graphics, firmware-misc-nonfree),
// and no package of its carries a "Modaliases" control field.
namespace AppStreamModaliases
{
struct Component {
    QString id; // the component ID, org.debian.packages.firmware_amd_graphics
    QString package;
    bool firmware = false; // of type "firmware": it serves other devices too
    QStringList patterns;
};

// The components with modalias patterns of one DEP-11 file, gzip-compressed as
// APT keeps it or not, read with zlib and libyaml. A missing, empty or damaged
// file, or one document of it, gives what the rest holds.
// whole, when given, tells whether the file was read to its end.
QVector<Component> readFile(const QString &path, bool *whole = nullptr);
// The same from the text of a DEP-11 file.
QVector<Component> readText(const QByteArray &text);

// $XDG_CACHE_HOME/kiv-admin-driver/appstream-modaliases, or an empty string.
QString defaultCacheFile();

// The components of every DEP-11 file in APT's list directory
// (Dir::State::lists). Decompressing Debian's
// main takes longer than the rest of a listing, so what each file held is kept
// in cacheFile and the file is read again only when it changed (another
// inode, size, modification or change time). A cache that is not the user's
// own, or that others may write, is neither read nor written; a damaged one
// is read past.
QVector<Component> readAll(const QString &listDirectory, const QString &cacheFile = defaultCacheFile());

// Whether a modalias pattern of AppStream covers a modalias: the whole
// modalias, case-sensitively, where "*" stands for any text, the empty one
// too, and "?" for one character, as AppStream matches them. The time is
// bounded by the product of the two lengths, whatever the pattern.
bool patternMatches(const QString &pattern, const QString &modalias);
}
