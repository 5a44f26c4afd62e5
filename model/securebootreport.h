// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "secureboot.h"

#include <QString>

// The texts that both front ends show about Secure Boot. The source is built
// into each front end, so that the texts are looked up in its own catalogue.
namespace SecureBootReport
{
// One line on the machine's state.
QString state(SecureBoot::State state);
// One line on DKMS's key: none, enrolled or not.
QString dkmsKey(const SecureBoot &secureBoot);
// "name: how it is signed; whether it loads".
QString module(const QString &name, const SecureBoot::ModuleCheck &check);
// Why the kernel will not load the module after the reboot, and the command
// that fixes it where there is one; for a verdict SecureBoot::refused() holds.
QString refusal(const QString &name, const SecureBoot::ModuleCheck &check);
}
