// SPDX-License-Identifier: GPL-2.0-or-later
#include "nvidialists.h"
#include "atomicfile.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <cctype>

namespace
{
// nvidia-detect's largest list holds some hundred lines of nine bytes.
constexpr qint64 maxListSize = 1 << 20;
}

QString NvidiaLists::defaultDirectory()
{
    return QStringLiteral("/usr/share/nvidia");
}

QString NvidiaLists::packageOf(const QString &fileName)
{
    static const QRegularExpression name(QStringLiteral("^nvidia(-tesla-[0-9]+|-legacy-[0-9]+xx)?\\.ids$"));
    const QRegularExpressionMatch match = name.match(fileName);
    return match.hasMatch() ? QStringLiteral("nvidia%1-driver").arg(match.captured(1)) : QString();
}

QString NvidiaLists::idOf(const QString &modalias)
{
    static const QRegularExpression pci(QStringLiteral("^pci:v0000([0-9A-Fa-f]{4})d0000([0-9A-Fa-f]{4})"));
    const QRegularExpressionMatch match = pci.match(modalias);
    return match.hasMatch() ? (match.captured(1) + match.captured(2)).toUpper() : QString();
}

QVector<NvidiaLists::List> NvidiaLists::read(const QString &directory)
{
    QVector<List> lists;
    const QDir dir(directory);
    for (const QString &name : dir.entryList({QStringLiteral("*.ids")}, QDir::Files, QDir::Name)) {
        List list;
        list.package = packageOf(name);
        if (list.package.isEmpty()) {
            continue;
        }
        list.path = dir.filePath(name);
        const AtomicFile::ReadOnlyFile file(list.path);
        QByteArray text;
        QString error;
        if (!file.isOpen() || !file.readAll(maxListSize, &text, &error)) {
            continue;
        }
        for (const QByteArray &line : text.split('\n')) {
            const QByteArray id = line.trimmed().toUpper();
            if (id.size() == 8 && std::all_of(id.cbegin(), id.cend(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c));
                })) {
                list.ids.insert(QString::fromLatin1(id));
            }
        }
        lists.append(list);
    }
    return lists;
}
