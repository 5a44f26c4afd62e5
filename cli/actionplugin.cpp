// SPDX-License-Identifier: GPL-2.0-or-later
#include "actionplugin.h"

#include <KLocalizedString>

#include <QCoreApplication>
#include <QFileInfo>
#include <QPluginLoader>

namespace
{
ActionPlugin *loadPlugin()
{
    // Next to the tool in a build tree, else where it is installed. Never from
    // Qt's search path, which the environment can extend, for a tool that root runs.
    const QString name = QStringLiteral("/apthelperactions.so");
    QString path = QCoreApplication::applicationDirPath() + QLatin1String("/plugins/orlix-admin-driver") + name;
    if (!QFileInfo(path).isFile()) {
        path = QLatin1String(KIV_ACTION_PLUGIN_DIR) + name;
    }
    QPluginLoader loader(path);
    auto *plugin = qobject_cast<ActionPlugin *>(loader.instance());
    if (!plugin) {
        reportError(i18n("Cannot load the plug-in %1: %2", path, loader.errorString()));
    }
    return plugin;
}
}

ActionHandler pluginAction(const QString &name)
{
    return [name](const QStringList &arguments, const QStringList &options, QList<Device> &gpus) {
        ActionPlugin *plugin = loadPlugin();
        const ActionHandler handler = plugin ? plugin->handler(name) : ActionHandler();
        return handler ? handler(arguments, options, gpus) : -1;
    };
}
