// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's entry: System Settings and kcmshell5 find it through its service
// file kcm_kivdriver.desktop and ask this factory for the module.
#include "mainmodule.h"

#include <KPluginFactory>

K_PLUGIN_FACTORY(KCMDriversFactory, registerPlugin<MainModule>();)

#include "kcmdriversfactory.moc"
