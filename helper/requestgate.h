// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QStringList>

class QObject;

// What the helper does about requests before KAuth reads them. KAuth answers a
// request while another runs as busy without reading it, but an idle helper
// reads every request's arguments with no limit on their size or nesting (a
// list nested deep enough exhausts the stack while it is read), and asks polkit
// about any action ID, where one that polkit does not know keeps the helper
// waiting for good.
//
// So a request that reaches an idle helper with an action ID that is not one of
// the helper's, or with arguments no real request has (larger, nested deeper,
// counts beyond their bytes, types no request carries), ends the helper
// process before KAuth reads it: the sender's call fails, and D-Bus activation
// starts a fresh helper for the next request. A request in progress is never
// interrupted by this.
//
// KAuth also tells a busy request's client nothing at all. The gate sends that
// client (and only it) the signal "requestBusy" with the request's token, so that
// it can fail at once instead of waiting for a reply that never comes.
namespace RequestGate
{
// Installs the gate for the helper's actions (action word appended to helperId).
void install(const char *helperId, const QStringList &actionWords);

// The largest arguments a request may carry, serialised: far above the largest
// request the helper accepts, far below what reading it could do harm with.
constexpr int maxArgumentsSize = 1024 * 1024;

// Called as KAuth starts a request.
void requestStarted();

// Sends the helper's diagnostics to the system log only. KAuth sends them to the
// caller as D-Bus signals that every user on the bus receives, and they name
// files; call as the application object is made, after KAuth set its handler.
void logToSystemLog();

// Makes room on the stack for reading the largest arguments allowed.
void reserveStack();
}
