// SPDX-License-Identifier: GPL-2.0-or-later
#include "modulename.h"

namespace
{
// MODULE_NAME_LEN is 64 - sizeof(unsigned long) including the terminating NUL.
constexpr int maxModuleNameLength = 55;
}

bool ModuleName::isValid(const QString &name)
{
    if (name.isEmpty() || name.size() > maxModuleNameLength) {
        return false;
    }
    bool hasLetter = false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool letter = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
        const bool digit = u >= '0' && u <= '9';
        if (!letter && !digit && u != '_' && u != '-') {
            return false;
        }
        hasLetter = hasLetter || letter;
    }
    return hasLetter;
}

QString ModuleName::normalized(const QString &name)
{
    QString result = name;
    result.replace(QLatin1Char('-'), QLatin1Char('_'));
    return result;
}
