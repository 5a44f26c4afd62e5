// SPDX-License-Identifier: GPL-2.0-or-later
// The reader of a kernel module's .modinfo section, on any file.
#include "device.h"
#include "fuzzinput.h"
#include "modinfosection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FuzzInput::MemoryFile file(FuzzInput::bytes(data, size));
    const QByteArray name = ModinfoSection::value(file.path(), QByteArrayLiteral("name"));
    ModinfoSection::value(file.path(), QByteArrayLiteral("alias"));
    if (name.contains('\0')) {
        FuzzInput::fail("a record value holding a NUL");
    }
    const QString display = Device::displayName(file.path(), QStringLiteral("fallback"));
    if (display.isEmpty() || display.contains(QLatin1Char('='))) {
        FuzzInput::fail("an empty display name or one holding '='");
    }
    return 0;
}
