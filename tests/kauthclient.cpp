// SPDX-License-Identifier: GPL-2.0-or-later
// Test client of the helper: executes one action through KAuth with arguments
// given as JSON and prints, one JSON object a line, every progress step and the
// result. Usage: kauthclient ACTION JSON [--stop-at PERCENT] [--timeout SECONDS]
#include "helperid.h"

#include <KAuth/Action>
#include <KAuth/ExecuteJob>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kauthclient ACTION JSON [--stop-at PERCENT] [--timeout SECONDS]\n");
        return 2;
    }
    const int stopAt = args.contains(QStringLiteral("--stop-at")) ? args.value(args.indexOf(QStringLiteral("--stop-at")) + 1).toInt() : -1;
    const int timeout = args.contains(QStringLiteral("--timeout")) ? args.value(args.indexOf(QStringLiteral("--timeout")) + 1).toInt() : 120;
    QTextStream out(stdout);
    const auto print = [&out](const QJsonObject &object) {
        out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    };

    KAuth::Action action(QLatin1String(KIV_HELPER_ID) + QLatin1Char('.') + args.at(1));
    action.setHelperId(QStringLiteral(KIV_HELPER_ID));
    action.setArguments(QJsonDocument::fromJson(args.at(2).toUtf8()).object().toVariantMap());
    action.setTimeout(timeout * 1000);
    KAuth::ExecuteJob *job = action.execute();
    bool stopped = false;
    QObject::connect(job, &KJob::percentChanged, [&](KJob *, unsigned long percent) {
        print({{QStringLiteral("progress"), qint64(percent)}});
        if (stopAt >= 0 && int(percent) >= stopAt && !stopped) {
            stopped = true;
            print({{QStringLiteral("stop"), true}});
            job->kill(KJob::Quietly);
        }
    });
    // A lost reply must not hang the test.
    QTimer::singleShot(timeout * 1000 + 5000, &app, [&]() {
        print({{QStringLiteral("result"), QStringLiteral("timeout")}});
        std::fflush(stdout);
        std::_Exit(3);
    });
    const bool ok = job->exec();
    print({{QStringLiteral("result"), ok ? QStringLiteral("ok") : QStringLiteral("error")},
           {QStringLiteral("error"), job->error()},
           {QStringLiteral("text"), job->errorText()}});
    return ok ? 0 : 1;
}
