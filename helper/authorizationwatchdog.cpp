// SPDX-License-Identifier: GPL-2.0-or-later
#include "authorizationwatchdog.h"
#include "requestgate.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>
#include <QTimer>

#include <unistd.h>

namespace
{
AuthorizationWatchdog *instance = nullptr;
QObject *pendingResponder = nullptr;
int pendingLimit = 0;

// KAuth's messages from the helper to its caller: a request started, a request done.
constexpr int actionStarted = 0;
constexpr int actionPerformed = 1;
}

AuthorizationWatchdog::AuthorizationWatchdog(QObject *responder, int limitSeconds)
    : m_responder(responder)
    , m_limitSeconds(limitSeconds)
    , m_ticker(new QTimer(this))
{
    connect(m_ticker, &QTimer::timeout, this, &AuthorizationWatchdog::tick);
}

void AuthorizationWatchdog::install(QObject *responder, int limitSeconds)
{
    pendingResponder = responder;
    pendingLimit = limitSeconds;
    qAddPreRoutine(&AuthorizationWatchdog::start);
}

void AuthorizationWatchdog::start()
{
    // Runs as the application object is made; KAuth registers its object on the
    // bus right after, before it runs the event loop.
    // KAuth has set its message handler by now, which would broadcast them.
    RequestGate::logToSystemLog();
    instance = new AuthorizationWatchdog(pendingResponder, pendingLimit);
    QTimer::singleShot(0, instance, &AuthorizationWatchdog::attach);
}

void AuthorizationWatchdog::attach()
{
    QObject *proxy = QDBusConnection::systemBus().objectRegisteredAt(QStringLiteral("/"));
    if (proxy) {
        m_followsSignals = connect(proxy, SIGNAL(remoteSignal(int, QString, QByteArray)), this, SLOT(remoteSignal(int, QString, QByteArray)));
    }
    if (!m_followsSignals) {
        qWarning() << "Cannot follow KAuth's requests: watching its shutdown timer only";
    }
    m_ticker->start(1000);
}

void AuthorizationWatchdog::actionEntered()
{
    if (instance) {
        instance->m_checking = false;
    }
}

bool AuthorizationWatchdog::isServing()
{
    return instance && (instance->m_checking || instance->requestInProgress());
}

void AuthorizationWatchdog::remoteSignal(int type, const QString &, const QByteArray &)
{
    if (type == actionStarted) {
        RequestGate::requestStarted();
        m_checking = true;
        m_since.start();
    } else if (type == actionPerformed) {
        m_checking = false;
    }
}

bool AuthorizationWatchdog::requestInProgress() const
{
    // KAuth stops the helper's idle shutdown timer while it serves a request.
    const auto *shutdown = m_responder ? m_responder->property("__KAuth_Helper_Shutdown_Timer").value<QTimer *>() : nullptr;
    return shutdown && !shutdown->isActive();
}

void AuthorizationWatchdog::tick()
{
    if (!m_followsSignals) {
        // Without KAuth's signals a request is seen only as its time passes.
        const bool inProgress = requestInProgress();
        if (inProgress && !m_since.isValid()) {
            m_checking = true;
            m_since.start();
        } else if (!inProgress) {
            m_checking = false;
            m_since.invalidate();
        }
    }
    if (m_checking && m_since.isValid() && m_since.elapsed() > qint64(m_limitSeconds) * 1000) {
        qWarning() << "An authorisation check has not ended in" << m_limitSeconds << "s: ending the helper so that a fresh one serves the next request";
        // Not QCoreApplication::exit(): that would end KAuth's wait with no answer,
        // which it might take for a yes.
        ::_exit(3);
    }
}
