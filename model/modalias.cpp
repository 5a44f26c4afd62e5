// SPDX-License-Identifier: GPL-2.0-or-later
#include "modalias.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace
{
// Backtracking steps one pattern may cost. A pattern of a real field needs a few
// dozen; a crafted one such as v(\w|\w)+(?!) would otherwise take PCRE's default
// of ten million for every package and GPU.
constexpr int matchLimit = 20000;

bool isRegularExpressionSyntax(QChar c)
{
    return QStringLiteral("\\^$.|?+()[]{}").contains(c);
}

// Whether pattern, in which every "*" stands for one or more characters and
// everything else for itself, matches somewhere in text. Each literal piece is
// placed at its earliest possible position, which is where any match can have
// it, so this never backtracks.
bool globMatches(const QString &pattern, const QString &text)
{
    const QStringList pieces = pattern.split(QLatin1Char('*'));
    // The search is unanchored; a leading "*" still needs one character before.
    int position = 0;
    for (int i = 0; i < pieces.size(); ++i) {
        const QString &piece = pieces.at(i);
        const int minimum = position + (i > 0 ? 1 : 0);
        if (piece.isEmpty()) {
            position = minimum;
            if (position > text.size()) {
                return false;
            }
            continue;
        }
        const int found = text.indexOf(piece, minimum);
        if (found < 0) {
            return false;
        }
        position = found + piece.size();
    }
    return position <= text.size();
}

// lines are the modalias split at its line breaks: the expression's "." stands
// for any character but a line break, so a pattern without one matches within
// a single line. No real modalias holds a line break, but one must not push the
// matching onto the bounded expression, which may give up where this answers.
bool patternMatches(QString pattern, const QStringList &lines, const QString &modalias)
{
    if (std::none_of(pattern.cbegin(), pattern.cend(), isRegularExpressionSyntax) && !pattern.contains(QLatin1Char('\n'))) {
        return std::any_of(lines.cbegin(), lines.cend(), [&pattern](const QString &line) {
            return globMatches(pattern, line);
        });
    }
    pattern.replace(QLatin1Char('*'), QLatin1String(".+"));
    const QRegularExpression expression(QStringLiteral("(*LIMIT_MATCH=%1)").arg(matchLimit) + pattern);
    return expression.isValid() && expression.match(modalias).hasMatch();
}
}

bool containsModalias(QString field, QString modalias)
{
    return containsModalias(field, modalias, nullptr);
}

bool containsModalias(QString field, QString modalias, QString *matched)
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
    const QStringList lines = modalias.split(QLatin1Char('\n'));
    for (const QString &pattern : patterns) {
        if (patternMatches(pattern, lines, modalias)) {
            if (matched) {
                *matched = pattern;
            }
            return true;
        }
    }
    return false;
}
