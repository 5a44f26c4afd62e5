// SPDX-License-Identifier: GPL-2.0-or-later
// AppStream's DEP-11 reader on any text, and its modalias pattern matching
// against glibc's fnmatch, which AppStream itself matches with.
#include "appstreammodaliases.h"
#include "fuzzinput.h"

#include <fnmatch.h>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzInput::bytes(data, size);
    const QVector<AppStreamModaliases::Component> components = AppStreamModaliases::readText(input);
    for (const AppStreamModaliases::Component &component : components) {
        if (component.package.isEmpty() || component.patterns.isEmpty()) {
            FuzzInput::fail("a component without package or patterns");
        }
    }
    // The first line a pattern, the second a modalias: ASCII without NUL, and no
    // character classes ("[:alpha:]"), which modalias patterns never use.
    const QList<QByteArray> lines = input.split('\n');
    if (lines.size() >= 2 && lines.at(0).size() <= 64 && lines.at(1).size() <= 64) {
        const QByteArray &pattern = lines.at(0);
        const QByteArray &text = lines.at(1);
        const auto plain = [](const QByteArray &bytes) {
            return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) {
                return c > 0 && c < 127;
            });
        };
        if (plain(pattern) && plain(text) && !pattern.contains("[:") && !pattern.contains("[=") && !pattern.contains("[.")) {
            const bool ours = AppStreamModaliases::patternMatches(QString::fromLatin1(pattern), QString::fromLatin1(text));
            const bool theirs = fnmatch(pattern.constData(), text.constData(), FNM_NOESCAPE) == 0;
            if (ours != theirs) {
                FuzzInput::fail("a pattern that fnmatch matches otherwise");
            }
        }
    }
    return 0;
}
