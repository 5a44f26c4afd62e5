// SPDX-License-Identifier: GPL-2.0-or-later
// Module name checks, on any text: a name that passes is safe in a modprobe
// line and in a file name.
#include "fuzzinput.h"
#include "modulename.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(FuzzInput::bytes(data, size));
    const QString normalized = ModuleName::normalized(name);
    if (normalized.size() != name.size() || normalized.contains(QLatin1Char('-'))) {
        FuzzInput::fail("normalizing changed more than dashes");
    }
    if (!ModuleName::isValid(name)) {
        return 0;
    }
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('_') && c != QLatin1Char('-')) {
            FuzzInput::fail("a valid name with a character that is no letter, digit, '_' or '-'");
        }
    }
    if (!ModuleName::isValid(normalized)) {
        FuzzInput::fail("a valid name whose normalized form is not");
    }
    return 0;
}
