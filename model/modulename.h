// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

namespace ModuleName
{
// Whether text can name a kernel module: letters, digits, '_' and '-', at least
// one letter, and short enough for the kernel's module name field. Version
// numbers and anything holding blanks, slashes, quotes or control characters
// are refused.
bool isValid(const QString &name);

// The kernel treats '-' and '_' in module names as the same character; this
// gives the spelling used to compare names and file names.
QString normalized(const QString &name);
}
