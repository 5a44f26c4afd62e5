// SPDX-License-Identifier: GPL-2.0-or-later
#include "fileowner.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

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

QString ownerInRecords(const QString &path)
{
    QProcess query;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    query.setProcessEnvironment(environment);
    query.setStandardInputFile(QProcess::nullDevice());
    query.start(QStringLiteral("/usr/bin/dpkg-query"), {QStringLiteral("--search"), QStringLiteral("--"), literalPattern(path)});
    // It reads every package's file list; a few seconds at most on a desktop.
    if (!query.waitForFinished(30000) || query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0) {
        query.kill();
        query.waitForFinished();
        return QString();
    }
    // "package[, package...]: path", and "diversion by package from|to: path".
    const QStringList lines = QString::fromUtf8(query.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("diversion by "))) {
            continue;
        }
        const int separator = line.indexOf(QLatin1String(": "));
        if (separator <= 0 || line.mid(separator + 2) != path) {
            continue;
        }
        // Two packages list the same file only while one replaces the other: the first is as good.
        const QString package = line.left(separator).section(QLatin1String(", "), 0, 0);
        return package.section(QLatin1Char(':'), 0, 0);
    }
    return QString();
}
}

QString FileOwner::of(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\n'))) {
        return QString();
    }
    const QString owner = ownerInRecords(path);
    if (!owner.isEmpty()) {
        return owner;
    }
    // The other name of the same file on a merged /usr.
    for (const QLatin1String top : {QLatin1String("/bin/"), QLatin1String("/sbin/"), QLatin1String("/lib/"), QLatin1String("/lib64/")}) {
        if (path.startsWith(top)) {
            return ownerInRecords(QLatin1String("/usr") + path);
        }
        if (path.startsWith(QLatin1String("/usr") + top)) {
            return ownerInRecords(path.mid(4));
        }
    }
    return QString();
}
