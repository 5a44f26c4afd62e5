// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>

class Device;

// What a helper action's job ended with.
struct HelperReply {
    bool succeeded = false;
    int code = 0; // the job's error code (KAuth::ActionReply's error codes)
    QString errorString;
    QString errorText;
    QVariantMap data; // what the reply carried besides
};

// Runs the helper's action word ("replace", "install", ...) with arguments and
// waits, in the job's own event loop, until the helper answers (authorisation
// prompt included).
// onStep hears the steps the helper describes while it works.
HelperReply runHelperAction(const QString &word, const QVariantMap &arguments, const std::function<void(const QVariantMap &)> &onStep = nullptr);

// The request entry of one GPU for the helper's action "replace": its current
// and chosen kernel module (empty names for a GPU without candidate modules,
// which then switches nothing), its bus ID, model and class, and its XOrg
// driver when withXorgDriver is set.
QVariantMap replaceRequestEntry(const Device &gpu, bool withXorgDriver);

// Writes a failed job's error string, code and text to the debug log.
void logHelperFailure(const HelperReply &reply);

// Sends gpu's entry to the helper and waits for its reply; xorgDriver only says
// whether the XOrg driver (already set on gpu) is part of the request. On failure
// the job's error is written to the debug log.
HelperReply runReplaceAction(Device &gpu, const QString &xorgDriver, const std::function<void(const QVariantMap &)> &onStep = nullptr);

// The helper's reply data and steps about the running kernel's initramfs: its
// path, and whether it was rebuilt or is being rebuilt.
QString initramfsImageOf(const QVariantMap &data);
bool initramfsUpdated(const QVariantMap &reply);
bool initramfsUpdating(const QVariantMap &step);
// A reply that failed only in rebuilding the initramfs: the configuration was
// changed, and the request must not be taken for undone.
bool initramfsFailed(const QVariantMap &reply);
