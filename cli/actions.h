// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "device.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

// The result becomes the exit status; -1 leaves the program as 255. options
// holds the names of the action's options that were given.
using ActionHandler = std::function<int(const QStringList &arguments, const QStringList &options, QList<Device> &gpus)>;

// An argument, or an option (given as --name).
struct ArgumentSpec {
    QString name;
    QString description;
};

struct ActionSpec {
    ActionHandler handler;
    QList<ArgumentSpec> arguments;
    QString description;
    // What the action reads of each GPU beyond its identification.
    Device::Details details = Device::AllDetails;
    QList<ArgumentSpec> options;
    // What it reads with --json, which tells more.
    Device::Details jsonDetails = Device::AllDetails;
};

// The options of the actions.
constexpr char secureBootOption[] = "secure-boot";
constexpr char ignoreSecureBootOption[] = "ignore-secure-boot";
constexpr char explainOption[] = "explain";
constexpr char jsonOption[] = "json";
constexpr char dryRunOption[] = "dry-run";

// Everything the tool prints, error messages included, goes through this stream.
QTextStream &standardOutput();
// A failure of the action, said as a line, or with --json as a JSON document.
void reportError(const QString &text);

QMap<QString, ActionSpec> actionTable();

QList<Device>::iterator findGpu(QList<Device> &gpus, const QString &argument);
// Argument index of the action's arguments, or an empty string.
QString argument(const QStringList &arguments, int index);
// Whether the catalogue entry driver is the XOrg driver current, as the log names it.
bool isCurrentXorgDriver(const QString &driver, const QString &current);

int listGpus(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
int listModules(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
int listXorg(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
// In the plug-in (see actionplugin.h):
int listPackages(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
int listGpusJson(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
int setModule(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
int setXorg(const QStringList &arguments, const QStringList &options, QList<Device> &gpus);
