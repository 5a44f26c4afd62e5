// SPDX-License-Identifier: GPL-2.0-or-later
#include "actions.h"
#include "driverenvironment.h"
#include "gpuenumerator.h"
#include "jsonoutput.h"

#include <KLocalizedString>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace
{
QList<Device> getGpus(Device::Details details)
{
    DriverEnvironment environment;
    // The PCI probe takes most of the time; the module tree and the X log are
    // read meanwhile.
    environment.prefetch(details);
    return GpuEnumerator::enumerate(GpuEnumerator::Filter::AllDisplayControllers, environment, details);
}

QString syntaxOf(const QString &name, const ActionSpec &action)
{
    QString syntax = name;
    for (const ArgumentSpec &argument : action.arguments) {
        syntax += QLatin1String(" <") + argument.name + QLatin1Char('>');
    }
    return syntax + QLatin1Char('\n');
}
}

namespace
{
int run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orlix-admin-driver"));
    KLocalizedString::setApplicationDomain("orlix-admin-driver");

    const QMap<QString, ActionSpec> actions = actionTable();

    // The first pass only finds the action: its own arguments are not declared
    // yet, so errors here mean nothing.
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("action"), i18n("Action to execute"), QString());
    const QCommandLineOption listActions(QStringList{QStringLiteral("actions"), QStringLiteral("a")}, i18n("Provides information about available actions"));
    parser.addOption(listActions);
    parser.parse(QCoreApplication::arguments());

    if (parser.isSet(listActions)) {
        for (auto it = actions.cbegin(); it != actions.cend(); ++it) {
            standardOutput() << it.key() << ": " << it.value().description << Qt::endl;
        }
        return 0;
    }

    // Without any action the help is what was asked for; an unknown action is a
    // mistake that scripts must see.
    const QStringList firstPass = parser.positionalArguments();
    if (firstPass.isEmpty()) {
        parser.showHelp(0);
    }
    if (!actions.contains(firstPass.first())) {
        parser.showHelp(1);
    }
    const QString name = firstPass.first();
    const ActionSpec action = actions.value(name);

    parser.clearPositionalArguments();
    parser.addPositionalArgument(name, action.description, syntaxOf(name, action));
    for (const ArgumentSpec &argument : action.arguments) {
        parser.addPositionalArgument(argument.name, argument.description, QString());
    }
    bool json = false;
    for (const ArgumentSpec &option : action.options) {
        parser.addOption(QCommandLineOption(option.name, option.description));
        json = json || option.name == QLatin1String(jsonOption);
    }
    // A script that asked for JSON gets its errors as JSON too.
    json = json && QCoreApplication::arguments().contains(QLatin1String("--") + QLatin1String(jsonOption));
    JsonOutput::setEnabled(json);
    if (!json) {
        parser.process(app);
    } else if (!parser.parse(QCoreApplication::arguments())) {
        JsonOutput::printError(parser.errorText());
        return 1;
    } else if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    QStringList options;
    for (const ArgumentSpec &option : action.options) {
        if (parser.isSet(option.name)) {
            options.append(option.name);
        }
    }

    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() - 1 != action.arguments.size()) {
        if (json) {
            JsonOutput::printError(i18np("%2 takes %1 argument", "%2 takes %1 arguments", action.arguments.size(), name));
            return 1;
        }
        parser.showHelp(1);
    }

    QList<Device> gpus = getGpus(json ? action.jsonDetails : action.details);
    return action.handler(arguments, options, gpus);
}
}

int main(int argc, char **argv)
{
    const int status = run(argc, argv);
    // The libraries' static destructors are not run: at that point the GLib
    // threads that KAuth's polkit back end starts are still at work, and under
    // load the two corrupted the heap now and then ("corrupted double-linked
    // list", an abort instead of the action's exit status). Everything the tool
    // writes is flushed here; the kernel closes the rest.
    standardOutput().flush();
    std::fflush(nullptr);
    _exit(status);
}
