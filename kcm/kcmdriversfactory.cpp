// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's entry: System Settings and kcmshell find it by the metadata
// embedded here, under plasma/kcms/systemsettings_qwidgets, and ask this factory
// for the module.
#include "mainmodule.h"

#include <KPluginFactory>

K_PLUGIN_CLASS_WITH_JSON(MainModule, "kcm_kivdriver.json")

#include "kcmdriversfactory.moc"
