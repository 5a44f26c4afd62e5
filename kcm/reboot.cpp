// SPDX-License-Identifier: GPL-2.0-or-later
#include "reboot.h"

#include <KLocalizedString>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>

namespace
{
const QString rebootTool = QStringLiteral("/usr/bin/kiv-wmfunc");

bool runRebootTool()
{
    if (!QFileInfo(rebootTool).isExecutable()) {
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Reboot::runtimeDirectory());
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(rebootTool, {QStringLiteral("KIVWM_REBOOT")});
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << "The reboot tool failed:" << tool.errorString() << tool.exitCode();
        return false;
    }
    return true;
}

bool call(QDBusConnection bus, const QString &service, const QString &path, const QString &interface, const QString &method, const QVariantList &arguments)
{
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block, 30000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qWarning() << "Reboot through" << service << "failed:" << reply.errorName() << reply.errorMessage();
        return false;
    }
    return true;
}
}

QString Reboot::runtimeDirectory()
{
    return QStringLiteral("/run/user/%1").arg(QString::fromLatin1(qgetenv("SUDO_UID")));
}

QString Reboot::start()
{
    if (runRebootTool()) {
        return QString();
    }
    if (call(QDBusConnection::sessionBus(),
             QStringLiteral("org.kde.Shutdown"),
             QStringLiteral("/Shutdown"),
             QStringLiteral("org.kde.Shutdown"),
             QStringLiteral("logoutAndReboot"),
             {})) {
        return QString();
    }
    // Interactive: polkit may ask for the user's password.
    if (call(QDBusConnection::systemBus(),
             QStringLiteral("org.freedesktop.login1"),
             QStringLiteral("/org/freedesktop/login1"),
             QStringLiteral("org.freedesktop.login1.Manager"),
             QStringLiteral("Reboot"),
             {true})) {
        return QString();
    }
    return i18n("The computer could not be restarted: neither the desktop nor the login manager accepted the request. Please restart it yourself.");
}
