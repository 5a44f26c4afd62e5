// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QVariantMap>

class Device;

// What a helper action's job ended with.
struct HelperReply {
    bool succeeded = false;
    int code = 0; // the job's error code (KAuth::ActionReply's error codes)
    QString errorString;
    QString errorText;
};

// Runs the helper's action word ("replace", "install", ...) with arguments and
// waits, in the job's own event loop, until the helper answers (authorisation
// prompt included).
HelperReply runHelperAction(const QString &word, const QVariantMap &arguments);

// The request entry of one GPU for the helper's action "replace": its current
// and chosen kernel module (empty names for a GPU without candidate modules,
// which then switches nothing), its bus ID, model and class, and its XOrg
// driver when withXorgDriver is set.
QVariantMap replaceRequestEntry(const Device &gpu, bool withXorgDriver);

// Writes a failed job's error string, code and text to the debug log.
void logHelperFailure(const HelperReply &reply);

// Sends gpu's entry to the helper and waits for its reply; xorgDriver only says
// whether the XOrg driver (already set on gpu) is part of the request. On failure
// the job's error is written to the debug log. Returns whether the helper succeeded.
bool runReplaceAction(Device &gpu, const QString &xorgDriver);
