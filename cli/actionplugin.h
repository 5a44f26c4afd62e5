// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "actions.h"

#include <QtPlugin>

// The actions that read APT's package cache or call the privileged helper
// ("list-packages", "set-module", "set-xorg") live in a plug-in of the tool.
// The other actions, which only read the hardware and a few files, then do not
// load libapt-pkg, KAuth and the D-Bus and compression libraries both bring:
// loading those costs a listing about as much as all its own work besides the
// PCI probe.
class ActionPlugin
{
public:
    virtual ~ActionPlugin() = default;
    // The handler of the action name; an empty one for an action it lacks.
    virtual ActionHandler handler(const QString &name) const = 0;
};

#define ActionPlugin_iid "org.kiv.orlix-admin-driver.ActionPlugin/2"
Q_DECLARE_INTERFACE(ActionPlugin, ActionPlugin_iid)

// A handler that loads the plug-in and runs its action name. When the plug-in
// cannot be loaded it says so and fails with exit status 255.
ActionHandler pluginAction(const QString &name);
