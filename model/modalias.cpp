// SPDX-License-Identifier: GPL-2.0-or-later
#include "modalias.h"

#include <QRegularExpression>
#include <QStringList>

bool containsModalias(QString field, QString modalias)
{
    if (field.isEmpty()) {
        return false;
    }
    // Only the first module's list is unwrapped; the lists of further modules keep
    // their names and brackets and so never match a modalias.
    field.remove(0, field.indexOf(QLatin1Char('(')) + 1);
    const int close = field.indexOf(QLatin1Char(')'));
    if (close >= 0) {
        field.remove(close, 1);
    }
    const QStringList patterns = field.split(QStringLiteral(", "));
    for (QString pattern : patterns) {
        pattern.replace(QLatin1Char('*'), QLatin1String(".+"));
        const QRegularExpression expression(pattern);
        if (expression.isValid() && expression.match(modalias).hasMatch()) {
            return true;
        }
    }
    return false;
}
