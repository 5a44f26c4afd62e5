// SPDX-License-Identifier: GPL-2.0-or-later
#include "requestvalidator.h"
#include "modulename.h"

#include <QRegularExpression>

namespace
{
constexpr int maxModelLength = 256;
constexpr int maxDriverLength = 64;
constexpr int maxEntries = 64;
constexpr int maxPackages = 256;

QString refuse(const QString &what)
{
    return QStringLiteral("Refused request: ") + what;
}
}

bool RequestValidator::isSafeXorgText(const QString &text, int maxLength)
{
    if (text.size() > maxLength) {
        return false;
    }
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
            return false;
        }
    }
    return true;
}

bool RequestValidator::isXorgBusId(const QString &busId)
{
    // Anchored as a whole: "$" alone would also accept a trailing line break.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("PCI:[0-9]{1,3}@[0-9]{1,5}:[0-9]{1,2}:[0-9]")));
    return pattern.match(busId).hasMatch();
}

bool RequestValidator::isPackageName(const QString &name)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("[a-z0-9][a-z0-9+.-]{1,127}")));
    return pattern.match(name).hasMatch();
}

QString RequestValidator::checkReplace(const QVariantList &entries)
{
    if (entries.size() > maxEntries) {
        return refuse(QStringLiteral("too many entries"));
    }
    static const char *const moduleKeys[] = {"currentKernelModuleRealName",
                                             "currentKernelModuleDisplayName",
                                             "newKernelModuleRealName",
                                             "newKernelModuleDisplayName"};
    for (int i = 0; i < entries.size(); ++i) {
        const QVariantMap entry = entries.at(i).toMap();
        const QString where = QStringLiteral("entry %1 ").arg(i + 1);
        // A switch needs both modules by name; an entry that switches nothing may
        // leave them all empty (a GPU without candidate modules).
        const bool switches =
            entry.value(QStringLiteral("newKernelModuleRealName")).toString() != entry.value(QStringLiteral("currentKernelModuleRealName")).toString();
        for (const char *key : moduleKeys) {
            const QString name = entry.value(QLatin1String(key)).toString();
            if ((switches || !name.isEmpty()) && !ModuleName::isValid(name)) {
                return refuse(where + QStringLiteral("has an invalid ") + QLatin1String(key));
            }
        }
        const QString driver = entry.value(QStringLiteral("XOrgDriver")).toString();
        const QString busId = entry.value(QStringLiteral("busId")).toString();
        if (!isSafeXorgText(driver, maxDriverLength)) {
            return refuse(where + QStringLiteral("has an invalid XOrgDriver"));
        }
        if (!isSafeXorgText(entry.value(QStringLiteral("modelName")).toString(), maxModelLength)) {
            return refuse(where + QStringLiteral("has an invalid modelName"));
        }
        if ((!driver.isEmpty() || !busId.isEmpty()) && !isXorgBusId(busId)) {
            return refuse(where + QStringLiteral("has an invalid busId"));
        }
        if (!isSafeXorgText(entry.value(QStringLiteral("classId")).toString(), 4)) {
            return refuse(where + QStringLiteral("has an invalid classId"));
        }
    }
    return QString();
}

QString RequestValidator::checkTearing(const QVariantMap &arguments)
{
    if (!isSafeXorgText(arguments.value(QStringLiteral("driverName")).toString(), maxDriverLength)) {
        return refuse(QStringLiteral("invalid driverName"));
    }
    const QString enable = arguments.value(QStringLiteral("shouldEnable")).toString();
    if (enable != QLatin1String("true") && enable != QLatin1String("false")) {
        return refuse(QStringLiteral("shouldEnable is neither \"true\" nor \"false\""));
    }
    return QString();
}

QString RequestValidator::checkPackages(const QStringList &names)
{
    if (names.size() > maxPackages) {
        return refuse(QStringLiteral("too many packages"));
    }
    for (int i = 0; i < names.size(); ++i) {
        if (!isPackageName(names.at(i))) {
            return refuse(QStringLiteral("package %1 has an invalid name").arg(i + 1));
        }
    }
    return QString();
}
