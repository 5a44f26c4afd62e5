// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "device.h"
#include "secureboot.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The tool's answers for scripts: one JSON document on standard output per
// run. Its members only grow; "format" changes when one changes meaning.
namespace JsonOutput
{
constexpr int format = 1;

// Whether this run answers in JSON (--json was given).
bool enabled();
void setEnabled(bool enabled);

// Prints document with its "format" member.
void print(QJsonObject document);
// {"format": 1, "error": message}
void printError(const QString &message);

// What identifies a GPU: bus ID, class, vendor and model, PCI IDs, modalias.
QJsonObject gpu(const Device &gpu);
// Each candidate module: real and display name, file, version, whether it is
// the one in use; with secureBoot also whether it loads.
QJsonArray modules(const Device &gpu, const SecureBoot *secureBoot);
// The machine's Secure Boot state and DKMS's key.
QJsonObject secureBoot(const SecureBoot &secureBoot);
// The XOrg driver in use (as the X server's log names it) and the installed ones.
QJsonObject xorg(const Device &gpu);
}
