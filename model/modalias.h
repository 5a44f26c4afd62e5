// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// Whether a package's "Modaliases" control field, module(pattern, pattern, ...),
// covers the kernel modalias of a device. "*" in a pattern stands for at least
// one character; patterns are matched case-sensitively anywhere in the modalias.
bool containsModalias(QString field, QString modalias);
// The same; matched is set to the pattern that covers the modalias.
bool containsModalias(QString field, QString modalias, QString *matched);
