// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

namespace AtomicFile
{
// Replaces the file at path with data: written to a temporary file in the same
// directory, flushed to disk and renamed over the old file, whose mode it keeps.
// A full disk or a killed helper leaves the old file whole. On failure error
// holds the reason and nothing has changed.
bool write(const QString &path, const QByteArray &data, QString *error);

// Reads the whole file; false (with the reason) when it cannot be opened.
bool read(const QString &path, QByteArray *data, QString *error);
}
