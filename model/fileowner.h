// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The package that installed a file, as dpkg's own records say (dpkg-query
// --search): diversions are not owners, and a file of a merged /usr is found
// under either of its names, since packages of one release list /lib/modules
// and those of the next /usr/lib/modules.
namespace FileOwner
{
// The package's name without its architecture, or an empty string when no
// package lists the file or dpkg-query cannot tell.
QString of(const QString &path);
}
