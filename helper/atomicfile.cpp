// SPDX-License-Identifier: GPL-2.0-or-later
#include "atomicfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool AtomicFile::write(const QString &path, const QByteArray &data, QString *error)
{
    // Edit what a link points to, not the link: modprobe follows it too.
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    QSaveFile file(target);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.write(data) != data.size()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool AtomicFile::read(const QString &path, QByteArray *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *data = file.readAll();
    return true;
}
