// SPDX-License-Identifier: GPL-2.0-or-later
#include "device.h"
#include "driverenvironment.h"
#include "fakehd.h"
#include "replaceaction.h"
#include "testfiles.h"

#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <hd.h>

#include <memory>
#include <vector>

namespace
{
using namespace FakeMachine;

QStringList realNames(const QList<Module> &modules)
{
    QStringList names;
    for (const Module &module : modules) {
        names.append(module.realName);
    }
    return names;
}

QStringList messages;
void collectMessages(QtMsgType, const QMessageLogContext &, const QString &message)
{
    messages.append(message);
}
}

class DeviceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fromHex_data();
    void fromHex();
    void parseBusId_data();
    void parseBusId();
    void identityFromLibhd();
    void candidateModules_data();
    void candidateModules();
    void moduleList_data();
    void moduleList();
    void currentModule_data();
    void currentModule();
    void setNewDriver_data();
    void setNewDriver();
    void driverByTrueName();
    void xorgDriver_data();
    void xorgDriver();
    void xorgDriverWithoutDrmDeviceReadsNoLog();
    void requestEntry();
};

void DeviceTest::fromHex_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");
    QTest::newRow("padded") << 3 << 2 << QStringLiteral("03");
    QTest::newRow("vendor") << 0x10de << 4 << QStringLiteral("10de");
    QTest::newRow("bus tag dropped") << int(pciTag | 0x10de) << 4 << QStringLiteral("10de");
    QTest::newRow("class with tag") << int(pciTag | 0x03) << 2 << QStringLiteral("03");
    QTest::newRow("zero") << 0 << 4 << QStringLiteral("0000");
}

void DeviceTest::fromHex()
{
    QFETCH(int, value);
    QFETCH(int, width);
    QFETCH(QString, expected);
    QCOMPARE(Device::fromHex(value, width), expected);
}

void DeviceTest::parseBusId_data()
{
    QTest::addColumn<QString>("busId");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first bus") << QStringLiteral("0000:01:00.0") << QStringLiteral("PCI:1@0:0:0");
    QTest::newRow("hex bus in decimal") << QStringLiteral("0000:0a:00.0") << QStringLiteral("PCI:10@0:0:0");
    QTest::newRow("every field") << QStringLiteral("0001:3b:1f.7") << QStringLiteral("PCI:59@1:31:7");
    QTest::newRow("empty") << QString() << QStringLiteral("PCI:@::");
    QTest::newRow("garbage") << QStringLiteral("not a bus id") << QStringLiteral("PCI:@::");
}

void DeviceTest::parseBusId()
{
    QFETCH(QString, busId);
    QFETCH(QString, expected);
    QCOMPARE(Device::parseBusId(busId), expected);
}

void DeviceTest::identityFromLibhd()
{
    FakeHd hd;
    fillNvidia(hd, "nvidia");
    Machine machine;
    DriverEnvironment environment(machine.dir.path());
    const Device gpu(hd.get(), environment);
    QCOMPARE(gpu.classId(), QStringLiteral("0302"));
    QCOMPARE(gpu.deviceId(), QStringLiteral("1f91"));
    QCOMPARE(gpu.vendorName(), QStringLiteral("nVidia Corporation"));
    QCOMPARE(gpu.deviceName(), QStringLiteral("TU117M"));
    QCOMPARE(gpu.model(), QStringLiteral("nVidia TU117M"));
    QCOMPARE(gpu.sysfsBusId(), QStringLiteral("PCI:1@0:0:0"));
    QCOMPARE(gpu.modalias(), QStringLiteral("pci:v000010DEd00001F91sv0000103Csd000086D5bc03sc02i00"));
    QCOMPARE(gpu.uniqueId(), QStringLiteral("VCu0.xyz"));
    QVERIFY(gpu.driverList().isEmpty());
    QVERIFY(gpu.xorgDriver().isEmpty());
    QVERIFY(Device::isDisplayController(hd.get()));

    FakeHd empty;
    const Device blank(empty.get(), environment);
    QCOMPARE(blank.classId(), QStringLiteral("0000"));
    QCOMPARE(blank.sysfsBusId(), QStringLiteral("PCI:@::"));
    QVERIFY(blank.model().isNull());
    QVERIFY(!Device::isDisplayController(empty.get()));
}

void DeviceTest::candidateModules_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QList<QByteArray>>("first");
    QTest::addColumn<QList<QByteArray>>("second");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("module aliases in order") << int(di_module) << QList<QByteArray>{"nvidia_current", "nouveau"} << QList<QByteArray>{}
                                             << QStringList{QStringLiteral("nvidia_current"), QStringLiteral("nouveau")};
    QTest::newRow("duplicates and empty strings pass") << int(di_module) << QList<QByteArray>{"nouveau", ""} << QList<QByteArray>{"nouveau"}
                                                       << QStringList{QStringLiteral("nouveau"), QString(), QStringLiteral("nouveau")};
    // libhd's own X11 table: X server version and driver name.
    QTest::newRow("X11 record") << int(di_x11) << QList<QByteArray>{"4", "ast"} << QList<QByteArray>{} << QStringList{QStringLiteral("ast")};
    QTest::newRow("any kind is taken") << int(di_any) << QList<QByteArray>{"radeon"} << QList<QByteArray>{"amdgpu"}
                                       << QStringList{QStringLiteral("radeon"), QStringLiteral("amdgpu")};
    QTest::newRow("none") << int(di_module) << QList<QByteArray>{} << QList<QByteArray>{} << QStringList{};
}

void DeviceTest::candidateModules()
{
    QFETCH(int, kind);
    QFETCH(QList<QByteArray>, first);
    QFETCH(QList<QByteArray>, second);
    QFETCH(QStringList, expected);
    FakeHd hd;
    if (!first.isEmpty()) {
        hd.addDriverInfo(hd_driver_info_t(kind), first);
    }
    if (!second.isEmpty()) {
        hd.addDriverInfo(di_module, second);
    }
    QCOMPARE(Device::candidateModules(hd.get()), expected);
}

void DeviceTest::moduleList_data()
{
    QTest::addColumn<bool>("prefetch");
    QTest::newRow("walked on demand") << false;
    // The command line has the whole tree walked on another thread during the probe.
    QTest::newRow("prefetched") << true;
}

void DeviceTest::moduleList()
{
    QFETCH(bool, prefetch);
    Machine machine;
    QVERIFY(machine.addModule(QStringLiteral("updates/dkms/nvidia-current.ko"), {"name=nvidia"}));
    QVERIFY(machine.addModule(QStringLiteral("kernel/drivers/gpu/drm/nouveau/nouveau.ko"), {"name=nouveau"}));
    QVERIFY(machine.addModule(QStringLiteral("kernel/drivers/gpu/drm/nameless.ko"), {"license=GPL"}));
    QVERIFY(machine.addModule(QStringLiteral("kernel/drivers/gpu/drm/tiny/gma500_gfx.ko"), {"name=gma500_gfx"}));
    DriverEnvironment environment(machine.dir.path());
    if (prefetch) {
        environment.prefetch(Device::AllDetails);
    }
    const QList<Module> modules = Device::parseDriverList({QStringLiteral("nvidia_current"),
                                                           QString(),
                                                           QStringLiteral("nouveau"),
                                                           QStringLiteral("nvidia_current"),
                                                           QStringLiteral("vesa_fb"),
                                                           QStringLiteral("nameless"),
                                                           QStringLiteral("gma500_gfx")},
                                                          environment);
    const QString root = machine.moduleRoot;
    const QList<Module> expected{
        {QStringLiteral("nvidia_current"), QStringLiteral("nvidia"), root + QStringLiteral("/updates/dkms/nvidia-current.ko")},
        {QStringLiteral("nouveau"), QStringLiteral("nouveau"), root + QStringLiteral("/kernel/drivers/gpu/drm/nouveau/nouveau.ko")},
        {QStringLiteral("vesa_fb"), QStringLiteral("vesa_fb"), QString()},
        {QStringLiteral("nameless"), QStringLiteral("nameless"), root + QStringLiteral("/kernel/drivers/gpu/drm/nameless.ko")},
        {QStringLiteral("gma500_gfx"), QStringLiteral("gma500_gfx"), root + QStringLiteral("/kernel/drivers/gpu/drm/tiny/gma500_gfx.ko")},
    };
    QCOMPARE(modules.size(), expected.size());
    for (int i = 0; i < modules.size(); ++i) {
        QCOMPARE(modules.at(i).realName, expected.at(i).realName);
        QCOMPARE(modules.at(i).displayName, expected.at(i).displayName);
        QCOMPARE(modules.at(i).path, expected.at(i).path);
    }

    // A file without a name record falls back to the dashed candidate name.
    QVERIFY(machine.addModule(QStringLiteral("extra/foo-bar.ko"), {"license=GPL"}));
    DriverEnvironment fresh(machine.dir.path());
    if (prefetch) {
        fresh.prefetch(Device::AllDetails);
    }
    QCOMPARE(Device::parseDriverList({QStringLiteral("foo_bar")}, fresh).value(0).displayName, QStringLiteral("foo-bar"));
}

void DeviceTest::currentModule_data()
{
    QTest::addColumn<QByteArray>("bound");
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("boundToCandidate");
    QTest::newRow("bound to the kernel's name") << QByteArray("nvidia") << 0 << true;
    QTest::newRow("second candidate") << QByteArray("nouveau") << 1 << true;
    // The module in use takes the kernel's name for it without its file being
    // read, when the kernel calls it as the candidate is called.
    QTest::newRow("bound under the candidate's name") << QByteArray("nvidia_current") << 0 << true;
    // Without a module in use the first candidate stands in (a switch blacklists
    // it), but it is not the current one.
    QTest::newRow("not a candidate") << QByteArray("radeon") << 0 << false;
    QTest::newRow("no module") << QByteArray() << 0 << false;
}

void DeviceTest::currentModule()
{
    QFETCH(QByteArray, bound);
    QFETCH(int, current);
    QFETCH(bool, boundToCandidate);
    Machine machine;
    QVERIFY(machine.addNvidiaAndNouveau());
    FakeHd hd;
    fillNvidia(hd, bound.isEmpty() ? nullptr : bound.constData());
    hd.addDriverInfo(di_module, {"nvidia_current", "nouveau"});
    DriverEnvironment environment(machine.dir.path());
    const Device gpu(hd.get(), environment);
    QCOMPARE(realNames(gpu.driverList()), (QStringList{QStringLiteral("nvidia_current"), QStringLiteral("nouveau")}));
    QCOMPARE(gpu.currentDriver().realName, gpu.driverList().at(current).realName);
    QCOMPARE(gpu.newDriver().realName, gpu.currentDriver().realName);
    QCOMPARE(gpu.isBoundToCandidate(), boundToCandidate);
}

void DeviceTest::setNewDriver_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");
    QTest::newRow("display name") << QStringLiteral("nouveau") << 1;
    QTest::newRow("real name") << QStringLiteral("nvidia_current") << 0;
    // "nvidia" is the display name of module 0 and the real name of module 2.
    QTest::newRow("last match wins") << QStringLiteral("nvidia") << 2;
    QTest::newRow("unknown keeps the choice") << QStringLiteral("radeon") << -1;
}

void DeviceTest::setNewDriver()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    Machine machine;
    QVERIFY(machine.addNvidiaAndNouveau());
    FakeHd hd;
    fillNvidia(hd, "nouveau");
    hd.addDriverInfo(di_module, {"nvidia_current", "nouveau", "nvidia"});
    DriverEnvironment environment(machine.dir.path());
    Device gpu(hd.get(), environment);
    QCOMPARE(gpu.currentDriver().realName, QStringLiteral("nouveau"));

    gpu.setNewDriver(name);
    const QString chosen = expected < 0 ? QStringLiteral("nouveau") : gpu.driverList().at(expected).realName;
    QCOMPARE(gpu.newDriver().realName, chosen);
    QCOMPARE(gpu.currentDriver().realName, QStringLiteral("nouveau"));
    gpu.updateCurrentDriver();
    QCOMPARE(gpu.currentDriver().realName, chosen);
}

void DeviceTest::driverByTrueName()
{
    Machine machine;
    QVERIFY(machine.addModule(QStringLiteral("updates/nvidia-current.ko"), {"name=nvidia"}));
    FakeHd hd;
    fillNvidia(hd, "nvidia");
    hd.addDriverInfo(di_module, {"nvidia_current", "nouveau"});
    DriverEnvironment environment(machine.dir.path());
    const Device gpu(hd.get(), environment);
    const auto found = gpu.driverByTrueName(QStringLiteral("nvidia_current"));
    QVERIFY(found.first);
    QCOMPARE(found.second.displayName, QStringLiteral("nvidia"));
    QVERIFY(!gpu.driverByTrueName(QStringLiteral("nvidia")).first);
}

void DeviceTest::xorgDriver_data()
{
    QTest::addColumn<uint>("xOwner");
    QTest::addColumn<bool>("rootLog");
    QTest::addColumn<bool>("userLog");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("complains");
    // The log under /var/log names modeset(0), the display manager's names intel(0).
    QTest::newRow("X run by root") << 0u << true << true << QStringLiteral("modeset") << false;
    QTest::newRow("X run by a user") << 65534u << true << true << QStringLiteral("intel") << false;
    QTest::newRow("user's log missing") << 65534u << true << false << QString() << true;
    QTest::newRow("root's log missing") << 0u << false << true << QString() << true;
}

void DeviceTest::xorgDriver()
{
    QFETCH(uint, xOwner);
    QFETCH(bool, rootLog);
    QFETCH(bool, userLog);
    QFETCH(QString, expected);
    QFETCH(bool, complains);
    Machine machine;
    QVERIFY(machine.addDrmLink(QStringLiteral("0000:01:00.0"), QStringLiteral("card0")));
    QVERIFY(machine.addProcess(1, "systemd", 0));
    QVERIFY(machine.addProcess(812, "Xorg", xOwner));
    if (rootLog) {
        QVERIFY(machine.addLog(QStringLiteral("/var/log/Xorg.0.log"), "[    10.1] (II) modeset(0): using drv /dev/dri/card0\n"));
    }
    if (userLog) {
        QVERIFY(machine.addLog(QStringLiteral("/var/log/kiv-dm/Xorg.0.log"), "[    10.1] (II) intel(0): Creating default Display\n"));
    }
    FakeHd hd;
    fillNvidia(hd, "nvidia");
    // Read when the record asks for it, or beforehand on another thread.
    for (const bool prefetch : {false, true}) {
        DriverEnvironment environment(machine.dir.path());
        if (prefetch) {
            environment.prefetch(Device::XorgDriver);
        }
        messages.clear();
        const auto previous = qInstallMessageHandler(collectMessages);
        const Device gpu(hd.get(), environment);
        qInstallMessageHandler(previous);
        QCOMPARE(gpu.xorgDriver(), expected);
        QCOMPARE(messages, complains ? QStringList{QStringLiteral("Failed to read XOrg log file")} : QStringList{});
    }
}

void DeviceTest::xorgDriverWithoutDrmDeviceReadsNoLog()
{
    Machine machine;
    QVERIFY(machine.addProcess(812, "Xorg", 0));
    FakeHd hd;
    fillNvidia(hd, "nvidia");
    DriverEnvironment environment(machine.dir.path());
    messages.clear();
    const auto previous = qInstallMessageHandler(collectMessages);
    const Device gpu(hd.get(), environment);
    qInstallMessageHandler(previous);
    QVERIFY(gpu.xorgDriver().isEmpty());
    // No log exists at all: reading one would have complained.
    QVERIFY(messages.isEmpty());
}

void DeviceTest::requestEntry()
{
    Machine machine;
    QVERIFY(machine.addNvidiaAndNouveau());
    FakeHd hd;
    fillNvidia(hd, "nvidia");
    hd.addDriverInfo(di_module, {"nvidia_current", "nouveau"});
    DriverEnvironment environment(machine.dir.path());
    Device gpu(hd.get(), environment);

    // A module switch: the current and the chosen module, no XOrg driver.
    gpu.setNewDriver(QStringLiteral("nouveau"));
    const QVariantMap moduleSwitch = replaceRequestEntry(gpu, false);
    QCOMPARE(moduleSwitch.value(QStringLiteral("currentKernelModuleRealName")).toString(), QStringLiteral("nvidia_current"));
    QCOMPARE(moduleSwitch.value(QStringLiteral("currentKernelModuleDisplayName")).toString(), QStringLiteral("nvidia"));
    QCOMPARE(moduleSwitch.value(QStringLiteral("newKernelModuleRealName")).toString(), QStringLiteral("nouveau"));
    QCOMPARE(moduleSwitch.value(QStringLiteral("newKernelModuleDisplayName")).toString(), QStringLiteral("nouveau"));
    QVERIFY(!moduleSwitch.contains(QStringLiteral("XOrgDriver")));
    QCOMPARE(moduleSwitch.value(QStringLiteral("busId")).toString(), QStringLiteral("PCI:1@0:0:0"));
    QCOMPARE(moduleSwitch.value(QStringLiteral("classId")).toString(), QStringLiteral("0302"));
    QCOMPARE(moduleSwitch.value(QStringLiteral("modelName")).toString(), QStringLiteral("nVidia TU117M"));

    // An XOrg driver switch carries the current module twice.
    Device other(hd.get(), environment);
    other.updateXOrgDriver(QStringLiteral("modesetting"));
    const QVariantMap xorgSwitch = replaceRequestEntry(other, true);
    QCOMPARE(xorgSwitch.value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("modesetting"));
    QCOMPARE(xorgSwitch.value(QStringLiteral("newKernelModuleRealName")), xorgSwitch.value(QStringLiteral("currentKernelModuleRealName")));

    // Without candidate modules the module names are empty.
    FakeHd bare;
    fillNvidia(bare, nullptr);
    Device lonely(bare.get(), environment);
    lonely.updateXOrgDriver(QStringLiteral("vesa"));
    const QVariantMap lonelyEntry = replaceRequestEntry(lonely, true);
    QCOMPARE(lonelyEntry.value(QStringLiteral("currentKernelModuleRealName")).toString(), QString());
    QCOMPARE(lonelyEntry.value(QStringLiteral("newKernelModuleDisplayName")).toString(), QString());
    QCOMPARE(lonelyEntry.value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("vesa"));
}

QTEST_GUILESS_MAIN(DeviceTest)
#include "devicetest.moc"
