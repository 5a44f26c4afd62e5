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

// Reads serialised arguments as QDataStream wrote them, without building
// anything: a count that claims more elements than bytes remain, a nesting
// deeper than any request's, or a type no request carries makes them invalid.
// (Qt's own reader reserves what a count claims, and recurses per level.)
class ArgumentScan
{
public:
    explicit ArgumentScan(const QByteArray &data)
        : m_data(data)
    {
    }

    // Whether the data is one QVariantMap and nothing else; token is the value
    // of its "requestToken" when that is a string.
    bool map(QString *token)
    {
        return readMap(0, token) && m_at == m_data.size();
    }

private:
    static constexpr int maxDepth = 16;

    bool take(int bytes)
    {
        if (bytes < 0 || m_data.size() - m_at < bytes) {
            return false;
        }
        m_at += bytes;
        return true;
    }
    bool count(quint32 *value)
    {
        if (m_data.size() - m_at < 4) {
            return false;
        }
        const auto *bytes = reinterpret_cast<const uchar *>(m_data.constData() + m_at);
        *value = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) | (quint32(bytes[2]) << 8) | quint32(bytes[3]);
        m_at += 4;
        return true;
    }
    bool string(QString *text = nullptr)
    {
        quint32 length;
        if (!count(&length)) {
            return false;
        }
        if (length == 0xffffffff) {
            return true;
        }
        if (length % 2 != 0 || length > quint32(m_data.size() - m_at)) {
            return false;
        }
        if (text) {
            text->resize(int(length / 2));
            for (int i = 0; i < int(length / 2); ++i) {
                (*text)[i] = QChar(ushort((uchar(m_data.at(m_at + 2 * i)) << 8) | uchar(m_data.at(m_at + 2 * i + 1))));
            }
        }
        return take(int(length));
    }
    // Each element takes at least minimum bytes: a count beyond that is a lie.
    bool elements(quint32 *n, int minimum)
    {
        return count(n) && *n <= quint32((m_data.size() - m_at) / minimum);
    }
    bool variant(int depth, QString *text)
    {
        quint32 type;
        if (depth > maxDepth || !count(&type) || !take(1)) {
            return false;
        }
        quint32 n;
        switch (type) {
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::UChar:
            return take(1);
        case QMetaType::Int:
        case QMetaType::UInt:
            return take(4);
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            return take(8);
        case QMetaType::QString:
            return string(text);
        case QMetaType::QByteArray:
            return string();
        case QMetaType::QStringList:
            if (!elements(&n, 4)) {
                return false;
            }
            for (quint32 i = 0; i < n; ++i) {
                if (!string()) {
                    return false;
                }
            }
            return true;
        case QMetaType::QVariantList:
            if (!elements(&n, 5)) {
                return false;
            }
            for (quint32 i = 0; i < n; ++i) {
                if (!variant(depth + 1, nullptr)) {
                    return false;
                }
            }
            return true;
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return readMap(depth + 1, nullptr);
        default:
            return false;
        }
    }
    bool readMap(int depth, QString *token)
    {
        quint32 n;
        if (depth > maxDepth || !elements(&n, 9)) {
            return false;
        }
        for (quint32 i = 0; i < n; ++i) {
            QString key;
            QString value;
            if (!string(&key) || !variant(depth + 1, key == QLatin1String(KIV_REQUEST_TOKEN) ? &value : nullptr)) {
                return false;
            }
            if (token && key == QLatin1String(KIV_REQUEST_TOKEN)) {
                *token = value;
            }
        }
        return true;
    }

    const QByteArray &m_data;
    int m_at = 0;
};

// Requests that passed the gate and have not started yet: they must not be
// ended by another request's arrival, and make the helper count as serving.
int passedRequests = 0;

void tellBusy(const QDBusMessage &message, const QString &token)
{
    if (token.isEmpty() || token.size() > 64) {
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
    // (action, caller, details, arguments), and under KF6 the file descriptors after them.
    const QByteArray serialised = arguments.value(3).toByteArray();
    QString token;
    const bool valid = serialised.size() <= RequestGate::maxArgumentsSize && ArgumentScan(serialised).map(&token);
    if (AuthorizationWatchdog::isServing() || passedRequests > 0) {
        // KAuth answers it as busy without reading it.
        if (known && valid) {
            tellBusy(message, token);
        }
        return;
    }
    if (known && valid) {
        ++passedRequests;
        return;
    }
    syslog(LOG_WARNING,
           "Request from %s %s: ending the helper before it is read, a fresh helper serves the next request",
           message.service().toUtf8().constData(),
           known ? "with arguments no request has" : "for an action that is not the helper's");
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

void RequestGate::requestStarted()
{
    // The one that passed has started; any other that passed meanwhile was
    // answered as busy.
    passedRequests = 0;
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
