// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in D-Bus service for tests: owns NAME on the session or system bus,
// answers every method call on PATH with an empty reply, and appends a line
// "interface.method arguments" for each to RECORD_FILE.
// Usage: busrecorder --session|--system NAME PATH RECORD_FILE
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>

#include <cstdio>

namespace
{
class Recorder : public QDBusVirtualObject
{
public:
    explicit Recorder(const QString &recordFile)
        : m_recordFile(recordFile)
    {
    }

    QString introspect(const QString &) const override
    {
        return QString();
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        QStringList arguments;
        for (const QVariant &argument : message.arguments()) {
            arguments.append(argument.toString());
        }
        QFile record(m_recordFile);
        if (record.open(QIODevice::Append)) {
            record.write((message.interface() + QLatin1Char('.') + message.member() + QLatin1Char(' ') + arguments.join(QLatin1Char(' '))).toUtf8() + '\n');
        }
        connection.send(message.createReply());
        return true;
    }

private:
    QString m_recordFile;
};
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: busrecorder --session|--system NAME PATH RECORD_FILE\n");
        return 2;
    }
    QDBusConnection bus = args.at(1) == QLatin1String("--system") ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    Recorder recorder(args.at(4));
    if (!bus.registerVirtualObject(args.at(3), &recorder) || !bus.registerService(args.at(2))) {
        std::fprintf(stderr, "busrecorder: cannot serve %s\n", qPrintable(args.at(2)));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
