// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// Starting a reboot of the machine from the desktop session.
namespace Reboot
{
// Tries, in order: the desktop's window manager tool "/usr/bin/kiv-wmfunc" with
// "KIVWM_REBOOT" (where it exists and succeeds within 30 s); Plasma's session
// shutdown service (org.kde.Shutdown, logoutAndReboot, as Plasma's own reboot
// does, letting applications save their work); logind's Reboot on the system bus.
// Returns an empty string once one of them took the request, otherwise the
// text to show the user.
QString start();

// The XDG_RUNTIME_DIR the reboot tool gets: that of the user SUDO_UID names.
QString runtimeDirectory();
}
