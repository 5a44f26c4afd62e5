// SPDX-License-Identifier: GPL-2.0-or-later
// Test client of the helper: executes one action through the clients' HelperJob
// with arguments given as JSON and prints, one JSON object a line, every progress
// step and the result. Usage:
//   kauthclient ACTION JSON [--stop-at PERCENT] [--stop-after SECONDS] [--timeout SECONDS]
//   kauthclient --raw ACTION-ID JSON [--timeout SECONDS] [--nested DEPTH]
//     (a DEPTH of -1: a list whose count claims far more than the data holds)
// --raw calls the helper's D-Bus method directly, as any program on the bus can,
// bypassing KAuth's client (which refuses action IDs that polkit does not know).
#include "helperid.h"

#include "helperjob.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDataStream>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace
{
int rawCall(const QString &actionId, const QVariantMap &arguments, int nested, int timeout, QTextStream &out)
{
    QByteArray serialized;
    QDataStream stream(&serialized, QIODevice::WriteOnly);
    if (nested < 0) {
        // {"a": a list that claims 2^31 - 1 elements and holds none}.
        stream << quint32(1) << QStringLiteral("a") << quint32(QMetaType::QVariantList) << qint8(0) << quint32(0x7fffffff);
    } else if (nested > 0) {
        // {"a": [[[...[1]...]]]}, written out by hand: a QVariant that deep could
        // not even be destroyed without exhausting the stack.
        stream << quint32(1) << QStringLiteral("a");
        for (int level = 0; level < nested; ++level) {
            stream << quint32(QMetaType::QVariantList) << qint8(0) << quint32(1);
        }
        stream << quint32(QMetaType::Int) << qint8(0) << qint32(1);
    } else {
        stream << arguments;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral(KIV_HELPER_ID),
                                                       QStringLiteral("/"),
                                                       QStringLiteral(KIV_KAUTH_INTERFACE),
                                                       QStringLiteral("performAction"));
    call << actionId << bus.baseService().toUtf8() << QVariant::fromValue(QVariantMap()) << serialized;
#if QT_VERSION_MAJOR >= 6
    // KF6 passes file descriptors as a map of its own: none here.
    QDBusArgument descriptors;
    descriptors.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusUnixFileDescriptor>());
    descriptors.endMap();
    call << QVariant::fromValue(descriptors);
#endif
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeout * 1000);
    out << QJsonDocument(QJsonObject{{QStringLiteral("result"), reply.type() == QDBusMessage::ReplyMessage ? QStringLiteral("reply") : QStringLiteral("error")},
                                     {QStringLiteral("text"), reply.errorName()}})
               .toJson(QJsonDocument::Compact)
        << Qt::endl;
    return reply.type() == QDBusMessage::ReplyMessage ? 0 : 1;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    const bool raw = args.value(1) == QLatin1String("--raw");
    if (raw) {
        args.removeAt(1);
    }
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kauthclient [--raw] ACTION JSON [--stop-at PERCENT] [--stop-after SECONDS] [--timeout SECONDS]\n");
        return 2;
    }
    const auto option = [&args](const char *name, int fallback) {
        const int at = args.indexOf(QLatin1String(name));
        return at > 0 ? args.value(at + 1).toInt() : fallback;
    };
    const int stopAt = option("--stop-at", -1);
    const int stopAfter = option("--stop-after", -1);
    const int timeout = option("--timeout", 120);
    QTextStream out(stdout);
    const auto print = [&out](const QJsonObject &object) {
        out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    };
    const QVariantMap arguments = QJsonDocument::fromJson(args.at(2).toUtf8()).object().toVariantMap();
    if (raw) {
        return rawCall(args.at(1), arguments, option("--nested", 0), timeout, out);
    }

    // The clients' own job, which ties the reply to the request.
    auto *job = new HelperJob(args.at(1), arguments);
    job->setLimits(timeout, timeout);
    bool stopped = false;
    const auto stop = [&]() {
        if (!stopped) {
            stopped = true;
            print({{QStringLiteral("stop"), true}});
            job->kill(KJob::Quietly);
        }
    };
    QObject::connect(job, &KJob::percentChanged, [&](KJob *, unsigned long percent) {
        print({{QStringLiteral("progress"), qint64(percent)}});
        if (stopAt >= 0 && int(percent) >= stopAt) {
            stop();
        }
    });
    QObject::connect(job, &HelperJob::stepData, [&](const QVariantMap &data) {
        print({{QStringLiteral("step"), QJsonObject::fromVariantMap(data)}});
    });
    if (stopAfter >= 0) {
        QTimer::singleShot(stopAfter * 1000, &app, stop);
    }
    // A lost reply must not hang the test.
    QTimer::singleShot(timeout * 1000 + 5000, &app, [&]() {
        print({{QStringLiteral("result"), QStringLiteral("timeout")}});
        std::fflush(stdout);
        std::_Exit(3);
    });
    const bool ok = job->exec();
    if (!job->replyData().isEmpty()) {
        print({{QStringLiteral("data"), QJsonObject::fromVariantMap(job->replyData())}});
    }
    print({{QStringLiteral("result"), ok ? QStringLiteral("ok") : QStringLiteral("error")},
           {QStringLiteral("error"), job->error()},
           {QStringLiteral("text"), job->errorText()}});
    return ok ? 0 : 1;
}
