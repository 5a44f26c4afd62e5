// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

class ModuleFile;

// Reads the metadata section ".modinfo" of a kernel object file, the same place
// modinfo reads a module's name, licence and aliases from. Scanning the whole file
// for "name=" instead finds trace format strings first in modules such as amdgpu.
namespace ModinfoSection
{
// Value of the first record "key=..." of the section; a null array when the file
// is not an ELF object, has no such section, or no record with that key, or when
// that record or the section is absurdly long (over a megabyte, or sixteen for
// the section), or when the path is not a regular file.
QByteArray value(const QString &koPath, const QByteArray &key);
// The same on a module file already opened, plain or compressed; reading
// several keys of one file decodes it once.
QByteArray value(ModuleFile &file, const QByteArray &key);
}
