// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorglog.h"
#include "testfiles.h"
#include "xserver.h"

#include <QTemporaryDir>
#include <QTest>

class XorgLogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstScreenTagOfRealLogs_data();
    void firstScreenTagOfRealLogs();
    void driverOfEachGpu_data();
    void driverOfEachGpu();
    void textEndsAtFirstNul();
    void installedDrivers();
    void rootStartedX_data();
    void rootStartedX();
};

namespace
{
QString logPath(const QString &name)
{
    return QFINDTESTDATA(QStringLiteral("data/xorg-logs/") + name);
}

XorgLog readLog(const QString &name)
{
    bool ok = false;
    const XorgLog log = XorgLog::fromFile(logPath(name), &ok);
    if (!ok) {
        qWarning() << "cannot read" << name;
    }
    return log;
}
}

void XorgLogTest::firstScreenTagOfRealLogs_data()
{
    // The fixtures' index records, per log, the first match of the screen tag
    // pattern over the whole file, found by another program.
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    QFile index(logPath(QStringLiteral("INDEX.tsv")));
    QVERIFY(index.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = index.readAll().split('\n');
    int column = -1;
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split('\t');
        if (line.startsWith('#') || fields.size() < 2) {
            continue;
        }
        if (column < 0) {
            column = fields.indexOf("first_match_group1");
            continue;
        }
        QByteArray expected = fields.value(column);
        expected.replace("\\n", "\n").replace("\\t", "\t");
        QTest::newRow(fields.at(0).constData()) << QString::fromUtf8(fields.at(0)) << QString::fromUtf8(expected);
    }
    QVERIFY(column >= 0);
}

void XorgLogTest::firstScreenTagOfRealLogs()
{
    QFETCH(QString, file);
    QFETCH(QString, expected);
    QCOMPARE(readLog(file).firstScreenTag(), expected);
}

void XorgLogTest::driverOfEachGpu_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("busId");
    QTest::addColumn<QString>("card");
    QTest::addColumn<QString>("expected");
    // Intel (00:02.0, card1 by the server's probe) runs modeset(0); the GTX 1050 is
    // the GPU screen NVIDIA(G0) "at PCI:1:0:0".
    QTest::newRow("hybrid, iGPU") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card1")
                                  << QStringLiteral("modeset");
    QTest::newRow("hybrid, dGPU by PCI address") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:01:00.0")
                                                 << QStringLiteral("card0") << QStringLiteral("NVIDIA");
    // Cards renumbered since X started: the server's own probe wins over the link.
    QTest::newRow("hybrid, renumbered card") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card0")
                                             << QStringLiteral("modeset");
    QTest::newRow("GPU screen by card") << QStringLiteral("peoner__ISC4__Xorg.0.log") << QStringLiteral("0000:01:00.0") << QStringLiteral("card1")
                                        << QStringLiteral("modeset");
    QTest::newRow("decimal bus 10") << QStringLiteral("Lemka6ix__TP__Xorg.0.log") << QStringLiteral("0000:0a:00.0") << QStringLiteral("card0")
                                    << QStringLiteral("NVIDIA");
    QTest::newRow("unused iGPU falls back") << QStringLiteral("NavSrijan__temporary__Xorg.0.log") << QStringLiteral("0000:05:00.0") << QStringLiteral("card2")
                                            << QStringLiteral("NVIDIA");
    QTest::newRow("GPU screen without a tie") << QStringLiteral("sylvorg__sylvorg__Xorg.0.log") << QStringLiteral("0000:02:00.0") << QStringLiteral("card1")
                                              << QStringLiteral("modeset");
    QTest::newRow("failed start, no tag") << QStringLiteral("platypus42__logs__a12249a__Xorg.0.log") << QStringLiteral("0000:00:02.0")
                                          << QStringLiteral("card0") << QString();
    QTest::newRow("fbdev fallback") << QStringLiteral("whoisem__nvidia-fedora-5.6-driver-340.108__Xorg.0.log") << QStringLiteral("0000:04:00.0")
                                    << QStringLiteral("card0") << QStringLiteral("FBDEV");
}

void XorgLogTest::driverOfEachGpu()
{
    QFETCH(QString, file);
    QFETCH(QString, busId);
    QFETCH(QString, card);
    QFETCH(QString, expected);
    QCOMPARE(readLog(file).driverFor(busId, card), expected);
}

void XorgLogTest::textEndsAtFirstNul()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Xorg.0.log"));
    QVERIFY(TestFiles::write(path, QByteArray("[ 1.0] (II) Loading\0\0\0 intel(0): after the crash\n", 49)));
    bool ok = false;
    QCOMPARE(XorgLog::fromFile(path, &ok).firstScreenTag(), QString());
    QVERIFY(ok);
    XorgLog::fromFile(dir.filePath(QStringLiteral("missing.log")), &ok);
    QVERIFY(!ok);

    // A card named by the link counts only when the log does not give it to another GPU.
    const XorgLog synthetic(
        QStringLiteral("[1] (II) Platform probe for /sys/devices/pci0000:00/0000:00:02.0/drm/card1\n"
                       "[2] (II) intel(0): using drv /dev/dri/card0\n"
                       "[3] (II) nouveau(G0): using drv /dev/dri/card1\n"));
    QCOMPARE(synthetic.driverFor(QStringLiteral("0000:00:02.0"), QStringLiteral("card1")), QStringLiteral("nouveau"));
    QCOMPARE(synthetic.driverFor(QStringLiteral("0000:01:00.0"), QStringLiteral("card0")), QStringLiteral("intel"));
    QCOMPARE(synthetic.driverFor(QStringLiteral("0000:01:00.0"), QStringLiteral("card1")), QStringLiteral("intel"));
}

void XorgLogTest::installedDrivers()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    const QStringList directories = XServer::driverDirectories();
    QVERIFY(TestFiles::write(root + directories.at(0) + QStringLiteral("nvidia_drv.so"), "x"));
    QVERIFY(TestFiles::write(root + directories.at(1) + QStringLiteral("modesetting_drv.so"), "x"));
    QVERIFY(TestFiles::write(root + directories.at(1) + QStringLiteral("README"), "x"));
    QVERIFY(TestFiles::write(root + directories.at(1) + QStringLiteral("intel_drv.so.1"), "x"));
    QVERIFY(TestFiles::write(root + directories.at(1) + QStringLiteral("_drv.so"), "x"));
    QVERIFY(TestFiles::write(root + directories.at(2) + QStringLiteral("sub/nvidia_drv.so"), "x"));
    QCOMPARE(XServer::installedXOrgDrivers(root), (QStringList{QStringLiteral("nvidia"), QStringLiteral("modesetting"), QStringLiteral("nvidia")}));
    QCOMPARE(XServer::installedXOrgDrivers(dir.filePath(QStringLiteral("nothing"))), QStringList());
}

void XorgLogTest::rootStartedX_data()
{
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QList<uint>>("owners");
    QTest::addColumn<bool>("expected");
    QTest::newRow("Xorg as root") << QByteArrayList{"systemd", "Xorg"} << QList<uint>{0, 0} << true;
    QTest::newRow("Xorg as a user") << QByteArrayList{"systemd", "Xorg"} << QList<uint>{0, 65534} << false;
    QTest::newRow("no X server") << QByteArrayList{"systemd", "bash"} << QList<uint>{0, 0} << false;
    QTest::newRow("lower-case x does not count") << QByteArrayList{"xinit"} << QList<uint>{0} << false;
    QTest::newRow("any name with an X") << QByteArrayList{"Xwayland"} << QList<uint>{0} << true;
    QTest::newRow("user without a name") << QByteArrayList{"Xorg"} << QList<uint>{424242} << false;
    QTest::newRow("one of two servers") << QByteArrayList{"Xorg", "Xvfb"} << QList<uint>{65534, 0} << true;
}

void XorgLogTest::rootStartedX()
{
    QFETCH(QByteArrayList, names);
    QFETCH(QList<uint>, owners);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    for (int i = 0; i < names.size(); ++i) {
        const QString base = dir.path() + QLatin1Char('/') + QString::number(100 + i);
        const QByteArray uid = QByteArray::number(owners.at(i));
        // The real owner differs from the effective one, which is what counts.
        QVERIFY(TestFiles::write(base + QStringLiteral("/comm"), names.at(i) + '\n'));
        QVERIFY(TestFiles::write(base + QStringLiteral("/status"), "Name:\tx\nUid:\t0\t" + uid + '\t' + uid + '\t' + uid + "\nGid:\t0\n"));
    }
    QVERIFY(TestFiles::write(dir.path() + QStringLiteral("/self/comm"), "Xorg\n"));
    QCOMPARE(XServer::isRootStartedX(dir.path()), expected);
}

QTEST_GUILESS_MAIN(XorgLogTest)
#include "xorglogtest.moc"
