// SPDX-License-Identifier: GPL-2.0-or-later
// "Modaliases" matching, on any field and modalias (the input's first line is the
// field, the rest the modalias). Where the field holds no expression syntax the
// result must be what the plain expressions ("*" as ".+") give.
#include "fuzzinput.h"
#include "modalias.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace
{
bool plainMatch(QString field, const QString &modalias)
{
    if (field.isEmpty()) {
        return false;
    }
    field.remove(0, field.indexOf(QLatin1Char('(')) + 1);
    const int close = field.indexOf(QLatin1Char(')'));
    if (close >= 0) {
        field.remove(close, 1);
    }
    for (QString pattern : field.split(QStringLiteral(", "))) {
        if (QRegularExpression(pattern.replace(QLatin1Char('*'), QLatin1String(".+"))).match(modalias).hasMatch()) {
            return true;
        }
    }
    return false;
}

bool hasExpressionSyntax(const QString &text)
{
    for (const QChar c : text) {
        if (QStringLiteral("\\^$.|?+[]{}").contains(c)) {
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
    // Brackets are syntax too, but the field's own pair is taken away first.
    QString unwrapped = field;
    unwrapped.remove(0, unwrapped.indexOf(QLatin1Char('(')) + 1);
    const int close = unwrapped.indexOf(QLatin1Char(')'));
    if (close >= 0) {
        unwrapped.remove(close, 1);
    }
    // Many ".+" in a row make the plain expressions themselves give up (PCRE's own
    // limit), so those are not compared; real patterns hold four "*".
    const QStringList patterns = unwrapped.split(QStringLiteral(", "));
    const bool fewStars = std::all_of(patterns.cbegin(), patterns.cend(), [](const QString &pattern) {
        return pattern.count(QLatin1Char('*')) <= 6;
    });
    const bool comparable = !hasExpressionSyntax(unwrapped) && !unwrapped.contains(QLatin1Char('(')) && !unwrapped.contains(QLatin1Char(')'))
        && field.size() < 300 && modalias.size() < 300 && fewStars;
    if (comparable && matched != plainMatch(field, modalias)) {
        FuzzInput::fail("the literal matching differs from the plain expressions");
    }
    return 0;
}
