// SPDX-License-Identifier: GPL-2.0-or-later
// The X server log reader, on any text.
#include "fuzzinput.h"
#include "xorglog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const XorgLog log(QString::fromUtf8(FuzzInput::bytes(data, size)));
    const QString first = log.firstScreenTag();
    for (const char *busId : {"0000:00:02.0", "0000:01:00.0", "0000:0a:00.0"}) {
        for (const char *card : {"", "card0", "card1"}) {
            const QString driver = log.driverFor(QLatin1String(busId), QLatin1String(card));
            // A GPU gets a screen's tag: never text with blanks in it.
            if (driver.contains(QLatin1Char(' '))) {
                FuzzInput::fail("a driver name with a blank");
            }
        }
    }
    return first.contains(QLatin1Char(' ')) ? (FuzzInput::fail("a first tag with a blank"), 0) : 0;
}
