// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class QTimer;

// KAuth checks every request's authorisation inside the helper, in a nested event
// loop that waits for polkit's answer without any time limit, refusing every
// other request as busy meanwhile. Action IDs that polkit does not know, whose
// check never ends, are turned away before (see RequestGate); an authorisation
// prompt nobody answers still keeps a check going.
//
// The watchdog ends the helper process when a request has spent longer than the
// limit between its arrival and the start of our action slot. The stuck caller's
// call then fails, and D-Bus activation starts a fresh helper for the next
// request. An action that has reached our slot is never interrupted.
class AuthorizationWatchdog : public QObject
{
    Q_OBJECT

public:
    // Arms the watchdog for the helper process about to run helperMain() with
    // responder: it starts with the application object that helperMain creates.
    static void install(QObject *responder, int limitSeconds);

    // Called by every action slot as it starts: the authorisation is over.
    static void actionEntered();
    // Whether KAuth is serving a request (checking its authorisation or running
    // its action), and so answers every other request as busy.
    static bool isServing();

private Q_SLOTS:
    void attach();
    void remoteSignal(int type, const QString &action, const QByteArray &data);
    void tick();

private:
    explicit AuthorizationWatchdog(QObject *responder, int limitSeconds);
    static void start();
    bool requestInProgress() const;

    QPointer<QObject> m_responder;
    int m_limitSeconds;
    bool m_followsSignals = false;
    bool m_checking = false; // a request arrived and has not reached our slot
    QElapsedTimer m_since;
    QTimer *m_ticker;
};
