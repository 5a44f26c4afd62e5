// SPDX-License-Identifier: GPL-2.0-or-later
#include "fileowner.h"
#include "toolenvironment.h"

#include <QProcess>
#include <QStringList>
#include <QVector>

#include <utility>

namespace
{
// dpkg-query takes a pattern: the path's own wildcards must match only themselves.
QString literalPattern(const QString &path)
{
    QString pattern;
    for (const QChar c : path) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('\\')) {
            pattern += QLatin1Char('\\');
        }
        pattern += c;
    }
    return pattern;
}

// The owner of the first of names that a package lists, asked in one run: each
// run reads every package's file list.
QString ownerInRecords(const QStringList &names)
{
    QStringList arguments{QStringLiteral("--search"), QStringLiteral("--")};
    for (const QString &name : names) {
        arguments.append(literalPattern(name));
    }
    QProcess query;
    query.setProcessEnvironment(toolEnvironment());
    query.setStandardInputFile(QProcess::nullDevice());
    query.start(QStringLiteral("/usr/bin/dpkg-query"), arguments);
    // A few seconds at most on a desktop. Exit status 1: some name has no owner.
    if (!query.waitForFinished(30000) || query.exitStatus() != QProcess::NormalExit || query.exitCode() > 1) {
        query.kill();
        query.waitForFinished();
        return QString();
    }
    // "package[, package...]: path", and "diversion by package from|to: path".
    QVector<QString> owners(names.size());
    const QStringList lines = QString::fromUtf8(query.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("diversion by "))) {
            continue;
        }
        const int separator = line.indexOf(QLatin1String(": "));
        const int index = separator <= 0 ? -1 : names.indexOf(line.mid(separator + 2));
        if (index >= 0 && owners.at(index).isEmpty()) {
            // Two packages list the same file only while one replaces the other: the first is as good.
            owners[index] = line.left(separator).section(QLatin1String(", "), 0, 0).section(QLatin1Char(':'), 0, 0);
        }
    }
    for (const QString &owner : std::as_const(owners)) {
        if (!owner.isEmpty()) {
            return owner;
        }
    }
    return QString();
}
}

QString FileOwner::of(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\n'))) {
        return QString();
    }
    // The path, and the other name of the same file on a merged /usr.
    QStringList names{path};
    for (const QLatin1String top : {QLatin1String("/bin/"), QLatin1String("/sbin/"), QLatin1String("/lib/"), QLatin1String("/lib64/")}) {
        if (path.startsWith(top)) {
            names.append(QLatin1String("/usr") + path);
        } else if (path.startsWith(QLatin1String("/usr") + top)) {
            names.append(path.mid(4));
        }
    }
    return ownerInRecords(names);
}
