// SPDX-License-Identifier: GPL-2.0-or-later
#include "requestgate.h"
#include "authorizationwatchdog.h"
#include "helperid.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDataStream>
#include <QVariantMap>

#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

// Qt D-Bus calls these hooks on the main thread for every method call that
// arrives, before it delivers the call to the object it is meant for. Exported by
// QtDBus and used by its own tools, but not declared in a public header.
using QDBusSpyHook = void (*)(const QDBusMessage &);
Q_DBUS_EXPORT void qDBusAddSpyHook(QDBusSpyHook);

namespace
{
QString allowedPrefix;
QStringList allowedWords;

void tellBusy(const QDBusMessage &message, bool known, const QByteArray &serialised)
{
    if (!known || serialised.size() > RequestGate::maxArgumentsSize) {
        return;
    }
    QVariantMap arguments;
    QDataStream stream(serialised);
    stream >> arguments;
    const QString token = arguments.value(QStringLiteral(KIV_REQUEST_TOKEN)).toString();
    if (stream.status() != QDataStream::Ok || token.isEmpty() || token.size() > 64) {
        return;
    }
    QDBusMessage busy =
        QDBusMessage::createTargetedSignal(message.service(), QStringLiteral("/"), QStringLiteral(KIV_KAUTH_INTERFACE), QStringLiteral("requestBusy"));
    busy << token;
    QDBusConnection::systemBus().send(busy);
}

void inspect(const QDBusMessage &message)
{
    if (message.member() != QLatin1String("performAction") || message.path() != QLatin1String("/")) {
        return;
    }
    const QList<QVariant> arguments = message.arguments();
    const QString action = arguments.value(0).toString();
    const bool known = action.startsWith(allowedPrefix) && allowedWords.contains(action.mid(allowedPrefix.size()));
    const QByteArray serialised = arguments.isEmpty() ? QByteArray() : arguments.last().toByteArray();
    if (AuthorizationWatchdog::isServing()) {
        // KAuth answers it as busy without reading it.
        tellBusy(message, known, serialised);
        return;
    }
    if (known && serialised.size() <= RequestGate::maxArgumentsSize) {
        return;
    }
    syslog(LOG_WARNING,
           "Request from %s %s: ending the helper before it is read, a fresh helper serves the next request",
           message.service().toUtf8().constData(),
           known ? "with oversized arguments" : "for an action that is not the helper's");
    ::_exit(3);
}

void toSystemLog(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    int priority = LOG_DEBUG;
    switch (type) {
    case QtDebugMsg:
        priority = LOG_DEBUG;
        break;
    case QtInfoMsg:
        priority = LOG_INFO;
        break;
    case QtWarningMsg:
        priority = LOG_WARNING;
        break;
    case QtCriticalMsg:
        priority = LOG_CRIT;
        break;
    case QtFatalMsg:
        priority = LOG_ALERT;
        break;
    }
    syslog(priority, "%s", text.toLocal8Bit().constData());
    if (type == QtFatalMsg) {
        ::abort();
    }
}
}

void RequestGate::install(const char *helperId, const QStringList &actionWords)
{
    allowedPrefix = QLatin1String(helperId) + QLatin1Char('.');
    allowedWords = actionWords;
    qDBusAddSpyHook(&inspect);
}

void RequestGate::logToSystemLog()
{
    qInstallMessageHandler(&toSystemLog);
}

void RequestGate::reserveStack()
{
    // Reading a list nested n deep takes some 300 bytes of stack per level, and
    // the largest arguments allowed hold about 120 000 levels: 64 MiB leave room
    // to spare. The kernel leaves at least 128 MiB for the main thread's stack to
    // grow into, whatever the limit was at start.
    constexpr rlim_t wanted = 64 * 1024 * 1024;
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
        setrlimit(RLIMIT_STACK, &limit);
    }
}
