// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorglog.h"
#include "testfiles.h"
#include "xserver.h"

#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

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
    // Each multi-GPU log ties its screens to GPUs in its own way; a GPU that no
    // screen is tied to never gets a screen the log gives to another GPU.
    QTest::newRow("hybrid, iGPU by its card") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card1")
                                              << QStringLiteral("modeset");
    QTest::newRow("hybrid, dGPU by PCI address") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:01:00.0")
                                                 << QStringLiteral("card0") << QStringLiteral("NVIDIA");
    QTest::newRow("hybrid, renumbered card") << QStringLiteral("Avinashh41__project__Xorg.1.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card0")
                                             << QStringLiteral("modeset");
    QTest::newRow("two AMD GPUs by ChipID, screen") << QStringLiteral("Barash1__telega__Xorg.1.log") << QStringLiteral("0000:05:00.0")
                                                    << QStringLiteral("card1") << QStringLiteral("AMDGPU");
    QTest::newRow("two AMD GPUs by ChipID, GPU screen")
        << QStringLiteral("Barash1__telega__Xorg.1.log") << QStringLiteral("0000:01:00.0") << QStringLiteral("card0") << QStringLiteral("AMDGPU");
    QTest::newRow("failed start, the other GPU's screen")
        << QStringLiteral("DuongTyler__nvidia-issues__69d59da__Xorg.0.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card0") << QString();
    QTest::newRow("PCI address on a continuation line")
        << QStringLiteral("NavSrijan__temporary__Xorg.0.log") << QStringLiteral("0000:01:00.0") << QStringLiteral("card1") << QStringLiteral("NVIDIA");
    QTest::newRow("unused iGPU gets no other GPU's driver")
        << QStringLiteral("NavSrijan__temporary__Xorg.0.log") << QStringLiteral("0000:05:00.0") << QStringLiteral("card2") << QString();
    QTest::newRow("GPU screen by card") << QStringLiteral("peoner__ISC4__Xorg.0.log") << QStringLiteral("0000:01:00.0") << QStringLiteral("card1")
                                        << QStringLiteral("modeset");
    QTest::newRow("OutputClass card") << QStringLiteral("platypus42__logs__9afae0a__Xorg.0.log") << QStringLiteral("0000:00:02.0") << QStringLiteral("card0")
                                      << QStringLiteral("modeset");
    QTest::newRow("a card the server did not drive") << QStringLiteral("platypus42__logs__9afae0a__Xorg.0.log") << QStringLiteral("0000:01:00.0")
                                                     << QStringLiteral("card1") << QString();
    QTest::newRow("screen tied to the dGPU only") << QStringLiteral("platypus42__logs__a167417__Xorg.0.log") << QStringLiteral("0000:00:02.0")
                                                  << QStringLiteral("card0") << QString();
    QTest::newRow("intel by its kernel driver") << QStringLiteral("srinivasgln__nvidia-errors-srini__Xorg.0.log") << QStringLiteral("0000:00:02.0")
                                                << QStringLiteral("card0") << QStringLiteral("intel");
    QTest::newRow("NVIDIA loaded and unloaded") << QStringLiteral("srinivasgln__nvidia-errors-srini__Xorg.0.log") << QStringLiteral("0000:01:00.0")
                                                << QStringLiteral("card1") << QString();
    QTest::newRow("nouveau GPU screen by its chipset vendor")
        << QStringLiteral("sylvorg__sylvorg__Xorg.0.log") << QStringLiteral("0000:02:00.0") << QStringLiteral("card1") << QStringLiteral("NOUVEAU");
    QTest::newRow("decimal bus 10") << QStringLiteral("Lemka6ix__TP__Xorg.0.log") << QStringLiteral("0000:0a:00.0") << QStringLiteral("card0")
                                    << QStringLiteral("NVIDIA");
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
    // Its link's card was another GPU's when X started; card0 then was likely its own.
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
    // ps (procps 4) prints a long user name in full, not as the number.
    QTest::newRow("long user name") << QByteArrayList{"Xorg"} << QList<uint>{4242} << true;
}

void XorgLogTest::rootStartedX()
{
    QFETCH(QByteArrayList, names);
    QFETCH(QList<uint>, owners);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    if (owners.contains(4242)) {
        // The user exists only in a private mount namespace of this test.
        if (geteuid() != 0) {
            QSKIP("adding a user needs root");
        }
        QFile passwd(QStringLiteral("/etc/passwd"));
        QVERIFY(passwd.open(QIODevice::ReadOnly));
        QVERIFY(
            TestFiles::write(dir.filePath(QStringLiteral("passwd")), passwd.readAll() + "kiv-rootless-display:x:4242:4242::/nonexistent:/usr/sbin/nologin\n"));
        QCOMPARE(unshare(CLONE_NEWNS), 0);
        QCOMPARE(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        QCOMPARE(mount(QFile::encodeName(dir.filePath(QStringLiteral("passwd"))).constData(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
    }
    for (int i = 0; i < names.size(); ++i) {
        const QString base = dir.path() + QLatin1Char('/') + QString::number(100 + i);
        const QByteArray uid = QByteArray::number(owners.at(i));
        // The real owner differs from the effective one, which is what counts.
        QVERIFY(TestFiles::write(base + QStringLiteral("/comm"), names.at(i) + '\n'));
        QVERIFY(TestFiles::write(base + QStringLiteral("/status"), "Name:\tx\nUid:\t0\t" + uid + '\t' + uid + '\t' + uid + "\nGid:\t0\n"));
    }
    QVERIFY(TestFiles::write(dir.path() + QStringLiteral("/self/comm"), "Xorg\n"));
    QCOMPARE(XServer::isRootStartedX(dir.path()), expected);
    if (owners.contains(4242)) {
        QCOMPARE(umount("/etc/passwd"), 0);
    }
}

QTEST_GUILESS_MAIN(XorgLogTest)
#include "xorglogtest.moc"
