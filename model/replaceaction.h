// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QVariantMap>

class Device;

// The request entry of one GPU for the helper's action "replace": its current
// and chosen kernel module (empty names for a GPU without candidate modules,
// which then switches nothing), its bus ID, model and class, and its XOrg
// driver when withXorgDriver is set.
QVariantMap replaceRequestEntry(const Device &gpu, bool withXorgDriver);

// Sends gpu's entry to the helper and waits for its reply; xorgDriver only says
// whether the XOrg driver (already set on gpu) is part of the request. On failure
// the job's error is written to the debug log. Returns whether the helper succeeded.
bool runReplaceAction(Device &gpu, const QString &xorgDriver);
