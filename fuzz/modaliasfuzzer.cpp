// SPDX-License-Identifier: GPL-2.0-or-later
// "Modaliases" matching, on any field and modalias (the input's first line is the
// field, the rest the modalias). Where the field holds no expression syntax the
// result must be what the plain expressions ("*" as ".+") mean.
#include "fuzzinput.h"
#include "modalias.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace
{
// What ".+" for "*" means, worked out position by position: reach[i] says that
// the pattern read so far matches some text that ends before line[i]. This
// cannot give up, where PCRE's backtracking stops at its step limit on patterns
// with many "*" and says "no match" even where there is one.
bool meaningOfPlainExpression(const QString &pattern, const QString &line)
{
    const int n = line.size();
    std::vector<bool> reach(size_t(n) + 1, true); // the match may start anywhere
    for (const QChar c : pattern) {
        std::vector<bool> next(reach.size(), false);
        if (c == QLatin1Char('*')) {
            // One character or more, from the first place reached on.
            const auto first = std::find(reach.cbegin(), reach.cend(), true) - reach.cbegin();
            std::fill(next.begin() + std::min<long>(first + 1, long(next.size())), next.end(), true);
        } else {
            for (int i = 0; i < n; ++i) {
                next[size_t(i) + 1] = reach[size_t(i)] && line.at(i) == c;
            }
        }
        reach.swap(next);
    }
    return std::find(reach.cbegin(), reach.cend(), true) != reach.cend();
}

// The plain expression itself, where PCRE cannot reach its step limit: with at
// most one "*" it backtracks at most once per character and start.
bool plainExpressionMatches(QString pattern, const QString &modalias)
{
    return QRegularExpression(pattern.replace(QLatin1Char('*'), QLatin1String(".+"))).match(modalias).hasMatch();
}

bool hasExpressionSyntax(const QString &text)
{
    for (const QChar c : text) {
        if (QStringLiteral("\\^$.|?+()[]{}").contains(c)) {
            return true;
        }
    }
    return false;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = QString::fromUtf8(FuzzInput::bytes(data, size));
    const int newline = input.indexOf(QLatin1Char('\n'));
    const QString field = newline < 0 ? input : input.left(newline);
    const QString modalias = newline < 0 ? QString() : input.mid(newline + 1);
    const bool matched = containsModalias(field, modalias);
    // The field's own pair of brackets is taken away first; any other bracket is
    // expression syntax.
    QString unwrapped = field;
    unwrapped.remove(0, unwrapped.indexOf(QLatin1Char('(')) + 1);
    const int close = unwrapped.indexOf(QLatin1Char(')'));
    if (close >= 0) {
        unwrapped.remove(close, 1);
    }
    if (field.isEmpty() || hasExpressionSyntax(unwrapped) || field.size() >= 300 || modalias.size() >= 300) {
        return 0;
    }
    // "." never matches a line break, so a pattern matches within one line.
    const QStringList patterns = unwrapped.split(QStringLiteral(", "));
    const QStringList lines = modalias.split(QLatin1Char('\n'));
    bool meant = false;
    for (const QString &pattern : patterns) {
        const bool patternMeant = std::any_of(lines.cbegin(), lines.cend(), [&pattern](const QString &line) {
            return meaningOfPlainExpression(pattern, line);
        });
        if (pattern.count(QLatin1Char('*')) <= 1 && patternMeant != plainExpressionMatches(pattern, modalias)) {
            FuzzInput::fail("the plain expression differs from what it means");
        }
        meant = meant || patternMeant;
    }
    if (matched != meant) {
        FuzzInput::fail("the literal matching differs from the plain expressions");
    }
    return 0;
}
