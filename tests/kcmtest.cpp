// SPDX-License-Identifier: GPL-2.0-or-later
// The control module's widgets on a hand-built hybrid laptop: an Intel GPU on
// i915 and an NVIDIA GPU on nvidia (candidates nvidia_current and nouveau).
#include "driverenvironment.h"
#include "driverprogress.h"
#include "fakehd.h"
#include "gpuinfo.h"
#include "helperjob.h"
#include "mainmodule.h"
#include "moduleinfo.h"
#include "reboot.h"
#include "secureboot.h"
#include "xserver.h"

#include <KAuth/Action>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using namespace FakeMachine;

namespace
{
// Answers the modal boxes as they come, from a repeating timer (a box is modal
// only once its own event loop runs), and keeps their texts.
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(QList<QDialogButtonBox::StandardButton> answers)
        : m_answers(answers)
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::answer);
        m_timer.start(10);
    }

    QStringList texts;

private:
    void answer()
    {
        auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        auto *buttons = box ? box->findChild<QDialogButtonBox *>() : nullptr;
        if (!buttons || m_answers.isEmpty()) {
            return;
        }
        QStringList labels;
        for (const QLabel *label : box->findChildren<QLabel *>()) {
            if (!label->text().isEmpty() && label->pixmap(Qt::ReturnByValue).isNull()) {
                labels.append(label->text());
            }
        }
        texts.append(labels.join(QLatin1Char('|')));
        buttons->button(m_answers.takeFirst())->click();
    }

    QList<QDialogButtonBox::StandardButton> m_answers;
    QTimer m_timer;
};

void fillIntel(FakeHd &hd)
{
    hd.get()->base_class = {3, hd.keep("Display controller")};
    hd.get()->sub_class = {0, hd.keep("VGA compatible controller")};
    hd.get()->vendor = {0x18086, hd.keep("Intel Corporation")};
    hd.get()->device = {0x19b41, hd.keep("CometLake-U GT2")};
    hd.get()->model = hd.keep("Intel CometLake-U GT2");
    hd.get()->sysfs_bus_id = hd.keep("0000:00:02.0");
    hd.get()->unique_id = hd.keep("_Znp.uniq");
    hd.get()->modalias = hd.keep("pci:v00008086d00009B41sv0000103Csd000086D5bc03sc00i00");
    hd.get()->driver_module = hd.keep("i915");
}

// The laptop's files: module files with versions, DRM links, the X server's log
// (the Intel GPU on modeset, the NVIDIA one on NVIDIA) and the XOrg drivers.
class Laptop : public Machine
{
public:
    Laptop()
    {
        ok = addModule(QStringLiteral("updates/dkms/nvidia-current.ko"), {"version=535.54.03", "name=nvidia"})
            && addModule(QStringLiteral("kernel/nouveau.ko"), {"license=GPL", "name=nouveau"})
            && addModule(QStringLiteral("kernel/i915.ko"), {"version=1.6.0", "name=i915"})
            && addDrmLink(QStringLiteral("0000:00:02.0"), QStringLiteral("card0")) && addDrmLink(QStringLiteral("0000:01:00.0"), QStringLiteral("card1"))
            && addLog(DriverEnvironment::userXorgLogPath(),
                      "[ 5.1] (II) Platform probe for /sys/devices/pci0000:00/0000:00:02.0/drm/card0\n"
                      "[ 5.2] (II) modeset(0): using drv /dev/dri/card0\n"
                      "[ 5.3] (II) NVIDIA(G0): NVIDIA GPU GeForce GTX 1650 (TU117-A) at PCI:1:0:0\n");
        const QStringList directories = XServer::driverDirectories();
        for (const auto &[directory, name] : {std::pair{0, "modesetting"}, {0, "nvidia"}, {1, "intel"}, {2, "nvidia"}}) {
            ok = ok && TestFiles::write(dir.path() + directories.at(directory) + QLatin1String(name) + QLatin1String("_drv.so"), "x");
        }
    }

    QList<Device> gpus()
    {
        DriverEnvironment environment(dir.path());
        FakeHd intel;
        fillIntel(intel);
        intel.addDriverInfo(di_module, {"i915"});
        FakeHd nvidia;
        fillNvidia(nvidia, "nvidia");
        nvidia.addDriverInfo(di_module, {"nvidia_current", "nouveau"});
        return {Device(intel.get(), environment), Device(nvidia.get(), environment)};
    }

    bool ok = false;
};

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts.append(box->itemText(i));
    }
    return texts;
}

template<typename T>
T *child(const QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}
}

class KcmTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formWhileScanning();
    void boxesFollowTheGpu_data();
    void boxesFollowTheGpu();
    void choicesMarkTheModuleChanged();
    void resetTakesBackEveryChoice();
    void formIsAccessible();
    void saveSendsEveryGpu_data();
    void saveSendsEveryGpu();
    void secureBootWarnsBeforeApply_data();
    void secureBootWarnsBeforeApply();
    void noGpu();
    void infoDialogs();
    void moduleVersion_data();
    void moduleVersion();
    void failedJobIsReportedOnce();
    void jobOutcomes_data();
    void jobOutcomes();
    void rebootWithoutAnyWayToReboot();
    void initramfsRebuildIsShown();

private:
    // The texts of the initramfs progress windows shown.
    static QStringList shownProgress();
    QList<QVariantMap> m_steps; // what the helper stand-in reports while it works
    QList<QStringList> m_stepTexts; // shownProgress() after each of them
    std::unique_ptr<MainModule> readyModule(Laptop &laptop, QList<QVariantMap> *requests = nullptr, HelperReply reply = {true, 0, {}, {}, {}});
};

std::unique_ptr<MainModule> KcmTest::readyModule(Laptop &laptop, QList<QVariantMap> *requests, HelperReply reply)
{
    MainModule::Environment environment;
    environment.scan = [&laptop] {
        return laptop.gpus();
    };
    environment.root = laptop.dir.path();
    environment.replace = [requests, reply, this](const QVariantMap &arguments, const std::function<void(const QVariantMap &)> &onStep) {
        if (requests) {
            requests->append(arguments);
        }
        for (const QVariantMap &step : std::as_const(m_steps)) {
            onStep(step);
            QTest::qWait(20);
            m_stepTexts.append(shownProgress());
        }
        return reply;
    };
    auto module = std::make_unique<MainModule>(nullptr, environment);
    if (!QTest::qWaitFor(
            [&module] {
                return child<QComboBox>(module->form(), "gpuBox")->isEnabled();
            },
            10000)) {
        return nullptr;
    }
    return module;
}

QStringList KcmTest::shownProgress()
{
    QStringList texts;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        const auto *dialog = qobject_cast<const QProgressDialog *>(window);
        if (dialog && dialog->objectName() == QLatin1String("initramfsProgress") && dialog->isVisible()) {
            texts.append(dialog->labelText());
        }
    }
    return texts;
}

void KcmTest::initramfsRebuildIsShown()
{
    // The helper repeats its step while the rebuild runs: one window says so, and
    // goes with the reply.
    const QVariantMap step{{QStringLiteral("initramfs"), QStringLiteral("updating")},
                           {QStringLiteral("initramfsImage"), QStringLiteral("/boot/initrd.img-6.1.0-57-amd64")}};
    m_steps = {step, step};
    m_stepTexts.clear();
    Laptop laptop;
    QVERIFY(laptop.ok);
    const auto kcm = readyModule(laptop, nullptr, {true, 0, {}, {}, {{QStringLiteral("initramfs"), QStringLiteral("updated")}}});
    QVERIFY(kcm);
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    child<QComboBox>(kcm->form(), "kernelModuleBox")->setCurrentIndex(1);
    ModalAnswerer answerer({QDialogButtonBox::No});
    kcm->save();
    m_steps.clear();
    const QStringList shown{QStringLiteral("Updating the initramfs /boot/initrd.img-6.1.0-57-amd64, which takes a while…")};
    QCOMPARE(m_stepTexts, (QList<QStringList>{shown, shown}));
    QCOMPARE(shownProgress(), QStringList());
    QCOMPARE(answerer.texts.size(), 1);
}

void KcmTest::formWhileScanning()
{
    Laptop laptop;
    QVERIFY(laptop.ok);
    QSemaphore scanMayEnd;
    MainModule::Environment environment;
    environment.scan = [&laptop, &scanMayEnd] {
        scanMayEnd.acquire();
        return laptop.gpus();
    };
    environment.root = laptop.dir.path();
    MainModule module(nullptr, environment);
    // The form is there at once, disabled, while the scan runs.
    for (const char *name : {"gpuBox", "kernelModuleBox", "xorgGroup", "installDrivers", "removeDrivers", "tweaks", "gpuInfo", "kernelModuleInfo"}) {
        QVERIFY2(!child<QWidget>(module.form(), name)->isEnabled(), name);
    }
    QCOMPARE(child<QLabel>(module.form(), "gpuVendor")->text(), QStringLiteral("Loading..."));
    QCOMPARE(child<QLabel>(module.form(), "kernelModuleVersion")->text(), QStringLiteral("Loading..."));
    scanMayEnd.release();
    QTRY_VERIFY(child<QComboBox>(module.form(), "gpuBox")->isEnabled());
    QCOMPARE(itemTexts(child<QComboBox>(module.form(), "gpuBox")),
             (QStringList{QStringLiteral("PCI:0@0:2:0: Intel CometLake-U GT2"), QStringLiteral("PCI:1@0:0:0: nVidia TU117M")}));
    // Never enabled: the labels and, until "Expert settings" is ticked, the XOrg box.
    QVERIFY(!child<QLabel>(module.form(), "gpuVendor")->isEnabled());
    QVERIFY(!child<QLabel>(module.form(), "label")->isEnabled());
    QVERIFY(!child<QComboBox>(module.form(), "xorgDriverBox")->isEnabled());
    child<QGroupBox>(module.form(), "xorgGroup")->setChecked(true);
    QVERIFY(child<QComboBox>(module.form(), "xorgDriverBox")->isEnabled());
}

void KcmTest::boxesFollowTheGpu_data()
{
    QTest::addColumn<int>("gpu");
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("module");
    QTest::addColumn<QStringList>("xorgDrivers");
    QTest::addColumn<int>("xorgDriver");
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("withLog");
    // The log's tag modeset marks the file modesetting; NVIDIA marks nvidia in both
    // directories that have it, the first selected.
    QTest::newRow("Intel") << 0 << QStringList{QStringLiteral("i915 (current)")} << QStringLiteral("i915 (current)")
                           << QStringList{QStringLiteral("modesetting (current)"), QStringLiteral("nvidia"), QStringLiteral("intel"), QStringLiteral("nvidia")}
                           << 0 << QStringLiteral("Vendor: Intel Corporation") << QStringLiteral("Version module: 1.6.0") << true;
    // Without the X server's log the XOrg driver is empty: nothing is current or chosen.
    QTest::newRow("Intel, no X log") << 0 << QStringList{QStringLiteral("i915 (current)")} << QStringLiteral("i915 (current)")
                                     << QStringList{QStringLiteral("modesetting"), QStringLiteral("nvidia"), QStringLiteral("intel"), QStringLiteral("nvidia")}
                                     << -1 << QStringLiteral("Vendor: Intel Corporation") << QStringLiteral("Version module: 1.6.0") << false;
    QTest::newRow("NVIDIA")
        << 1 << QStringList{QStringLiteral("nvidia_current (current)"), QStringLiteral("nouveau")} << QStringLiteral("nvidia_current (current)")
        << QStringList{QStringLiteral("modesetting"), QStringLiteral("nvidia (current)"), QStringLiteral("intel"), QStringLiteral("nvidia (current)")} << 1
        << QStringLiteral("Vendor: nVidia Corporation") << QStringLiteral("Version module: 535.54.03") << true;
}

void KcmTest::boxesFollowTheGpu()
{
    QFETCH(int, gpu);
    QFETCH(QStringList, modules);
    QFETCH(QString, module);
    QFETCH(QStringList, xorgDrivers);
    QFETCH(int, xorgDriver);
    QFETCH(QString, vendor);
    QFETCH(QString, version);
    QFETCH(bool, withLog);
    Laptop laptop;
    QVERIFY(laptop.ok);
    if (!withLog) {
        QVERIFY(QFile::remove(laptop.dir.path() + DriverEnvironment::userXorgLogPath()));
    }
    const auto kcm = readyModule(laptop);
    QVERIFY(kcm);
    QSignalSpy changed(kcm.get(), &MainModule::choiceChanged);
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(gpu);
    QCOMPARE(itemTexts(child<QComboBox>(kcm->form(), "kernelModuleBox")), modules);
    QCOMPARE(child<QComboBox>(kcm->form(), "kernelModuleBox")->currentText(), module);
    QCOMPARE(itemTexts(child<QComboBox>(kcm->form(), "xorgDriverBox")), xorgDrivers);
    QCOMPARE(child<QComboBox>(kcm->form(), "xorgDriverBox")->currentIndex(), xorgDriver);
    QCOMPARE(child<QLabel>(kcm->form(), "gpuVendor")->text(), vendor);
    QCOMPARE(child<QLabel>(kcm->form(), "kernelModuleVersion")->text(), version);
    // Showing another GPU is no change.
    QCOMPARE(changed.count(), 0);
    // load() shows the first GPU again, in both boxes, "Expert settings" ticked or not.
    kcm->load();
    QCOMPARE(child<QComboBox>(kcm->form(), "gpuBox")->currentIndex(), 0);
    QCOMPARE(child<QComboBox>(kcm->form(), "kernelModuleBox")->currentText(), QStringLiteral("i915 (current)"));
    QCOMPARE(child<QComboBox>(kcm->form(), "xorgDriverBox")->currentIndex(), withLog ? 0 : -1);
    QCOMPARE(changed.count(), 0);
}

void KcmTest::choicesMarkTheModuleChanged()
{
    Laptop laptop;
    QVERIFY(laptop.ok);
    QList<QVariantMap> requests;
    const auto kcm = readyModule(laptop, &requests);
    QVERIFY(kcm);
    auto *gpuBox = child<QComboBox>(kcm->form(), "gpuBox");
    auto *modules = child<QComboBox>(kcm->form(), "kernelModuleBox");
    auto *xorgDrivers = child<QComboBox>(kcm->form(), "xorgDriverBox");
    QSignalSpy changed(kcm.get(), &MainModule::choiceChanged);
    gpuBox->setCurrentIndex(1);
    modules->setCurrentIndex(1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(child<QLabel>(kcm->form(), "kernelModuleVersion")->text(), QStringLiteral("Version module: unknown"));
    child<QGroupBox>(kcm->form(), "xorgGroup")->setChecked(true);
    xorgDrivers->setCurrentIndex(0);
    QCOMPARE(changed.count(), 2);
    // Back and forth between the GPUs: the boxes show the pending choices, and
    // refilling them is no choice of the user's.
    gpuBox->setCurrentIndex(0);
    gpuBox->setCurrentIndex(1);
    QCOMPARE(modules->currentText(), QStringLiteral("nouveau"));
    QCOMPARE(xorgDrivers->currentIndex(), 0);
    QCOMPARE(changed.count(), 2);
    // The item marked current stores the bare name.
    xorgDrivers->setCurrentIndex(3);
    ModalAnswerer answerer({QDialogButtonBox::No});
    kcm->save();
    QCOMPARE(requests.size(), 1);
    const QVariantList entries = requests.first().value(QStringLiteral("data")).toList();
    QCOMPARE(entries.value(1).toMap().value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("nvidia"));
    QCOMPARE(entries.value(1).toMap().value(QStringLiteral("newKernelModuleRealName")).toString(), QStringLiteral("nouveau"));
}

void KcmTest::resetTakesBackEveryChoice()
{
    Laptop laptop;
    QVERIFY(laptop.ok);
    QList<QVariantMap> requests;
    const auto kcm = readyModule(laptop, &requests);
    QVERIFY(kcm);
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    child<QComboBox>(kcm->form(), "kernelModuleBox")->setCurrentIndex(1);
    child<QGroupBox>(kcm->form(), "xorgGroup")->setChecked(true);
    child<QComboBox>(kcm->form(), "xorgDriverBox")->setCurrentIndex(0);
    // The host's Reset.
    kcm->load();
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    QCOMPARE(child<QComboBox>(kcm->form(), "kernelModuleBox")->currentText(), QStringLiteral("nvidia_current (current)"));
    ModalAnswerer answerer({QDialogButtonBox::No});
    kcm->save();
    QCOMPARE(requests.size(), 1);
    for (const QVariant &entry : requests.first().value(QStringLiteral("data")).toList()) {
        const QVariantMap map = entry.toMap();
        QCOMPARE(map.value(QStringLiteral("newKernelModuleRealName")), map.value(QStringLiteral("currentKernelModuleRealName")));
    }
    QCOMPARE(requests.first().value(QStringLiteral("data")).toList().at(1).toMap().value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("nvidia"));
}

void KcmTest::formIsAccessible()
{
    Laptop laptop;
    QVERIFY(laptop.ok);
    const auto kcm = readyModule(laptop);
    QVERIFY(kcm);
    child<QGroupBox>(kcm->form(), "xorgGroup")->setChecked(true);
    // Every box has the label that names it; the buttons that show only an icon
    // have a name and a tool tip.
    for (const auto &[label, box] : {std::pair<const char *, const char *>{"gpuLabel", "gpuBox"},
                                     std::pair<const char *, const char *>{"kernelModuleLabel", "kernelModuleBox"},
                                     std::pair<const char *, const char *>{"xorgDriverLabel", "xorgDriverBox"}}) {
        QCOMPARE(child<QLabel>(kcm->form(), label)->buddy(), child<QComboBox>(kcm->form(), box));
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(child<QComboBox>(kcm->form(), box));
        QVERIFY(accessible);
        QCOMPARE(accessible->role(), QAccessible::ComboBox);
        QVERIFY(!accessible->state().disabled);
    }
    for (const char *name : {"gpuInfo", "kernelModuleInfo"}) {
        auto *button = child<QPushButton>(kcm->form(), name);
        QVERIFY(button->text().isEmpty());
        // Shown even where no icon theme gives the icon, as offscreen here.
        QVERIFY(!button->icon().isNull());
        QVERIFY(!button->toolTip().isEmpty());
        QCOMPARE(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name), button->toolTip());
    }
}

void KcmTest::saveSendsEveryGpu_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<bool>("applied");
    QTest::newRow("success") << true << 0 << QString() << QStringLiteral("For correct application, it is recommended to reboot the system.\nReboot now?")
                             << QVariantMap() << true;
    // KAuth leaves the helper's description in the job's error text.
    QTest::newRow("helper error") << false << 4001 << QStringLiteral("New driver alias error")
                                  << QStringLiteral("Kernel module switch error: New driver alias error") << QVariantMap() << false;
    QTest::newRow("denied, no text") << false << 4 << QString() << QStringLiteral("Kernel module switch error: Authorization denied.") << QVariantMap()
                                     << false;
    QTest::newRow("unknown code") << false << 77 << QString() << QStringLiteral("Kernel module switch error: Unknown error") << QVariantMap() << false;
    // The files are written, the initramfs is not: the helper's words, and no second switch.
    const QString initramfs = QStringLiteral("The driver configuration was changed, but the initramfs /boot/initrd.img-6.1.0-57-amd64 was not updated");
    QTest::newRow("initramfs failed") << false << 4001 << initramfs << initramfs << QVariantMap{{QStringLiteral("initramfs"), QStringLiteral("failed")}}
                                      << true;
}

void KcmTest::saveSendsEveryGpu()
{
    QFETCH(bool, succeeds);
    QFETCH(int, code);
    QFETCH(QString, errorText);
    QFETCH(QString, box);
    QFETCH(QVariantMap, data);
    QFETCH(bool, applied);
    Laptop laptop;
    QVERIFY(laptop.ok);
    QList<QVariantMap> requests;
    const auto kcm = readyModule(laptop, &requests, {succeeds, code, QString(), errorText, data});
    QVERIFY(kcm);
    // A module chosen for the NVIDIA GPU, then the Intel GPU shown on Apply.
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    child<QComboBox>(kcm->form(), "kernelModuleBox")->setCurrentIndex(1);
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(0);
    ModalAnswerer answerer({succeeds ? QDialogButtonBox::No : QDialogButtonBox::Ok});
    QSignalSpy changed(kcm.get(), &MainModule::choiceChanged);
    kcm->save();
    QCOMPARE(answerer.texts, QStringList{box});
    // After a failure the choice is still pending, and Apply can send it again.
    QTest::qWait(50);
    QCOMPARE(!changed.isEmpty(), !applied);

    QCOMPARE(requests.size(), 1);
    const QVariantList entries = requests.first().value(QStringLiteral("data")).toList();
    QCOMPARE(entries.size(), 2);
    const QVariantMap intel = entries.at(0).toMap();
    const QVariantMap nvidia = entries.at(1).toMap();
    QCOMPARE(intel.value(QStringLiteral("busId")).toString(), QStringLiteral("PCI:0@0:2:0"));
    QCOMPARE(intel.value(QStringLiteral("classId")).toString(), QStringLiteral("0300"));
    QCOMPARE(intel.value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("modesetting"));
    QCOMPARE(intel.value(QStringLiteral("newKernelModuleRealName")).toString(), intel.value(QStringLiteral("currentKernelModuleRealName")).toString());
    QCOMPARE(nvidia.value(QStringLiteral("modelName")).toString(), QStringLiteral("nVidia TU117M"));
    QCOMPARE(nvidia.value(QStringLiteral("currentKernelModuleRealName")).toString(), QStringLiteral("nvidia_current"));
    QCOMPARE(nvidia.value(QStringLiteral("currentKernelModuleDisplayName")).toString(), QStringLiteral("nvidia"));
    QCOMPARE(nvidia.value(QStringLiteral("newKernelModuleRealName")).toString(), QStringLiteral("nouveau"));
    QCOMPARE(nvidia.value(QStringLiteral("newKernelModuleDisplayName")).toString(), QStringLiteral("nouveau"));
    QCOMPARE(nvidia.value(QStringLiteral("XOrgDriver")).toString(), QStringLiteral("nvidia"));

    // After a success every GPU that was sent with another module has it as its
    // current one, not only the GPU shown; a failure changes nothing.
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    QCOMPARE(itemTexts(child<QComboBox>(kcm->form(), "kernelModuleBox")),
             applied ? (QStringList{QStringLiteral("nvidia_current"), QStringLiteral("nouveau (current)")})
                     : (QStringList{QStringLiteral("nvidia_current (current)"), QStringLiteral("nouveau")}));
    QCOMPARE(child<QComboBox>(kcm->form(), "kernelModuleBox")->currentText(), applied ? QStringLiteral("nouveau (current)") : QStringLiteral("nouveau"));
    // The next Apply switches nothing again.
    ModalAnswerer again({succeeds ? QDialogButtonBox::No : QDialogButtonBox::Ok});
    kcm->save();
    const QVariantMap sentAgain = requests.last().value(QStringLiteral("data")).toList().at(1).toMap();
    QCOMPARE(sentAgain.value(QStringLiteral("newKernelModuleRealName")) == sentAgain.value(QStringLiteral("currentKernelModuleRealName")), applied);
}

void KcmTest::secureBootWarnsBeforeApply_data()
{
    // The variable's data after efivarfs's four bytes of attributes; null: a BIOS
    // machine, empty: EFI without readable variables.
    QTest::addColumn<QByteArray>("secureBoot");
    QTest::addColumn<bool>("validationOff");
    QTest::addColumn<bool>("switchAnyway");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("verdict"); // the module information's line on nouveau, which no key signed
    QTest::newRow("no EFI") << QByteArray() << false << false << true << QString();
    QTest::newRow("EFI variables unreadable") << QByteArray("") << false << false << true
                                              << QStringLiteral("nouveau: not signed; cannot tell whether it loads");
    QTest::newRow("off") << QByteArray("\0", 1) << false << false << true << QStringLiteral("nouveau: not signed; loads");
    QTest::newRow("validation disabled in shim") << QByteArray("\1") << true << false << true << QStringLiteral("nouveau: not signed; loads");
    const QString refused = QStringLiteral("nouveau: not signed; will not load");
    QTest::newRow("enforcing, cancelled") << QByteArray("\1") << false << false << false << refused;
    QTest::newRow("enforcing, switched anyway") << QByteArray("\1") << false << true << true << refused;
}

void KcmTest::secureBootWarnsBeforeApply()
{
    QFETCH(QByteArray, secureBoot);
    QFETCH(bool, validationOff);
    QFETCH(bool, switchAnyway);
    QFETCH(bool, sent);
    QFETCH(QString, verdict);
    Laptop laptop;
    QVERIFY(laptop.ok);
    const QString variables = laptop.dir.path() + QStringLiteral("/sys/firmware/efi/efivars/");
    const QByteArray attributes("\6\0\0\0", 4);
    if (!secureBoot.isNull()) {
        QVERIFY(QDir().mkpath(variables));
    }
    if (!secureBoot.isEmpty()) {
        QVERIFY(TestFiles::write(variables + QStringLiteral("SecureBoot-8be4df61-93ca-11d2-aa0d-00e098032b8c"), attributes + secureBoot));
    }
    if (validationOff) {
        QVERIFY(TestFiles::write(variables + QStringLiteral("MokSBStateRT-605dab50-e046-4300-abb6-3dd810dd8b23"), attributes + "\1"));
    }
    const bool enforcing = secureBoot == "\1" && !validationOff;
    QList<QVariantMap> requests;
    const auto kcm = readyModule(laptop, &requests);
    QVERIFY(kcm);
    child<QComboBox>(kcm->form(), "gpuBox")->setCurrentIndex(1);
    child<QComboBox>(kcm->form(), "kernelModuleBox")->setCurrentIndex(1);
    QSignalSpy changed(kcm.get(), &MainModule::choiceChanged);
    QList<QDialogButtonBox::StandardButton> answers;
    if (enforcing) {
        answers.append(switchAnyway ? QDialogButtonBox::Yes : QDialogButtonBox::No);
    }
    if (sent) {
        answers.append(QDialogButtonBox::No); // no reboot now
    }
    ModalAnswerer answerer(answers);
    kcm->save();
    QCOMPARE(answerer.texts.size(), answers.size());
    const QString refusal = QStringLiteral("The kernel will not load nouveau after the reboot: Secure Boot is on and the module is not signed.");
    if (enforcing) {
        QVERIFY2(answerer.texts.first().startsWith(refusal + QLatin1String("\n\nSwitch anyway?")), qPrintable(answerer.texts.first()));
    }
    QCOMPARE(requests.size(), sent ? 1 : 0);
    if (!sent) {
        // Cancelled: the choice stays, and Apply with it.
        QTRY_VERIFY(!changed.isEmpty());
        QCOMPARE(child<QComboBox>(kcm->form(), "kernelModuleBox")->currentText(), QStringLiteral("nouveau"));
    }

    // The module information says the same, on EFI machines only.
    const Module nouveau = laptop.gpus().at(1).driverList().at(1);
    const SecureBoot state(laptop.dir.path(), laptop.moduleRoot);
    ModuleInfo info(nullptr);
    QVERIFY(info.updateInfo(nouveau.path, nouveau.displayName, &state));
    const QString text = child<QTextEdit>(&info, "infoTextEdit")->toPlainText();
    if (verdict.isEmpty()) {
        QVERIFY2(!text.contains(QLatin1String("Secure Boot")), qPrintable(text));
    } else {
        QVERIFY2(text.endsWith(verdict + (enforcing ? QLatin1Char('\n') + refusal : QString())), qPrintable(text));
    }
}

void KcmTest::noGpu()
{
    MainModule::Environment environment;
    environment.scan = [] {
        return QList<Device>();
    };
    ModalAnswerer answerer({QDialogButtonBox::Ok});
    MainModule module(nullptr, environment);
    QTRY_COMPARE(answerer.texts, QStringList{QStringLiteral("Couldn't find any GPUs")});
    QVERIFY(!child<QComboBox>(module.form(), "gpuBox")->isEnabled());
    QCOMPARE(child<QLabel>(module.form(), "gpuVendor")->text(), QStringLiteral("No GPU found"));
    module.load();
    module.save();
}

void KcmTest::infoDialogs()
{
    Laptop laptop;
    QVERIFY(laptop.ok);
    const Device nvidia = laptop.gpus().at(1);
    GpuInfo gpuInfo(nullptr);
    gpuInfo.updateInfo(nvidia);
    QCOMPARE(child<QLabel>(&gpuInfo, "modelLabel")->text(), QStringLiteral("nVidia TU117M"));
    QCOMPARE(child<QLabel>(&gpuInfo, "vendorLabel")->text(), QStringLiteral("nVidia Corporation"));
    QCOMPARE(child<QLabel>(&gpuInfo, "busLabel")->text(), QStringLiteral("PCI:1@0:0:0"));
    QCOMPARE(child<QLabel>(&gpuInfo, "devIdLabel")->text(), QStringLiteral("1f91"));
    QCOMPARE(child<QLabel>(&gpuInfo, "uniqIdLabel")->text(), QStringLiteral("VCu0.xyz"));
    gpuInfo.show();
    child<QDialogButtonBox>(&gpuInfo, "closeButtons")->button(QDialogButtonBox::Close)->click();
    QVERIFY(!gpuInfo.isVisible());

    QWidget parent;
    parent.resize(1000, 600);
    ModuleInfo moduleInfo(&parent);
    QCOMPARE(moduleInfo.size(), QSize(833, 500));
    QVERIFY(moduleInfo.updateInfo(nvidia.currentDriver().path, nvidia.currentDriver().displayName));
    QCOMPARE(child<QGroupBox>(&moduleInfo, "infoBox")->title(), QStringLiteral("nvidia"));
    // modinfo's lines, the run of blanks after each key made one.
    QCOMPARE(child<QTextEdit>(&moduleInfo, "infoTextEdit")->toPlainText(),
             QStringLiteral("filename: %1\nversion: 535.54.03\nname: nvidia").arg(nvidia.currentDriver().path));

    QVERIFY(child<QDialogButtonBox>(&moduleInfo, "closeButtons")->button(QDialogButtonBox::Close));

    ModalAnswerer answerer({QDialogButtonBox::Ok});
    ModuleInfo missing(nullptr);
    QVERIFY(!missing.updateInfo(QStringLiteral("/nonexistent/nouveau.ko"), QStringLiteral("nouveau")));
    QCOMPARE(answerer.texts, QStringList{QStringLiteral("Couldn't get module info for module:\n/nonexistent/nouveau.ko")});
}

void KcmTest::moduleVersion_data()
{
    QTest::addColumn<QList<QByteArray>>("modinfo");
    QTest::addColumn<QString>("version");
    QTest::newRow("version record") << QList<QByteArray>{"license=GPL", "version=535.54.03"} << QStringLiteral("535.54.03");
    QTest::newRow("spaces inside are dropped, tabs kept") << QList<QByteArray>{"version=1.2 beta\t3"} << QStringLiteral("1.2beta\t3");
    QTest::newRow("only a source version") << QList<QByteArray>{"srcversion=ABC123"} << QStringLiteral("unknown");
    QTest::newRow("no module file") << QList<QByteArray>() << QStringLiteral("unknown");
}

void KcmTest::moduleVersion()
{
    QFETCH(QList<QByteArray>, modinfo);
    QFETCH(QString, version);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("m.ko"));
    QVERIFY(modinfo.isEmpty() || TestFiles::write(path, TestFiles::module(modinfo)));
    QCOMPARE(ModuleInfo::version(path), version);
}

void KcmTest::failedJobIsReportedOnce()
{
    // No system bus here: KAuth finds the action invalid and fails the job at once.
    ModalAnswerer answerer({QDialogButtonBox::Ok, QDialogButtonBox::Ok});
    QWidget parent;
    auto *progress =
        new DriverProgress(new HelperJob(QStringLiteral("install"), {{QStringLiteral("drivers"), QStringList{QStringLiteral("nvidia-driver")}}}), &parent);
    QSignalSpy finished(progress, &DriverProgress::finished);
    bool hung = false;
    QTimer::singleShot(10000, progress, [&hung, progress] {
        hung = true;
        progress->close();
    });
    progress->exec();
    QVERIFY(!hung);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    // KAuth's own words for an action that cannot reach its helper.
#if QT_VERSION_MAJOR >= 6
    const QString reason = QStringLiteral("DBus Backend error: service start org.kiv.kivadmindriverhelper failed: Not connected to D-Bus server");
#else
    const QString reason = QStringLiteral("Tried to start an invalid action");
#endif
    QCOMPARE(answerer.texts, QStringList{QStringLiteral("Transaction error: ") + reason});
}

namespace
{
// A job that ends as a row says; the progress dialog reads nothing else of it.
class EndedJob : public KJob
{
public:
    EndedJob(int error, const QString &text, const QString &string)
        : m_string(string)
    {
        setError(error);
        setErrorText(text);
    }
    void start() override
    {
    }
    QString errorString() const override
    {
        return m_string;
    }

private:
    QString m_string;
};
}

void KcmTest::jobOutcomes_data()
{
    QTest::addColumn<int>("status"); // a KAuth status first, -1 for none
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<bool>("open"); // the dialog after the status
    QTest::addColumn<QString>("box"); // after the result; empty: a success
    QTest::newRow("success") << -1 << 0 << QString() << QString() << true << QString();
    QTest::newRow("code 0 with an error string") << -1 << 0 << QString() << QStringLiteral("dpkg was interrupted") << true
                                                 << QStringLiteral("Transaction error: Unknown error");
    QTest::newRow("code without a text") << -1 << 4001 << QString() << QString() << true << QStringLiteral("Transaction error: Unknown error");
    QTest::newRow("code and text") << -1 << 4001 << QStringLiteral("E: Unable to locate package x") << QString() << true
                                   << QStringLiteral("Transaction error: E: Unable to locate package x");
    QTest::newRow("password prompt shown") << int(KAuth::Action::AuthRequiredStatus) << 0 << QString() << QString() << true << QString();
    // KAuth's own codes come with KAuth's text, as on Apply.
    QTest::newRow("denied") << int(KAuth::Action::DeniedStatus) << 4 << QString() << QString() << false
                            << QStringLiteral("Transaction error: Authorization denied.");
}

void KcmTest::jobOutcomes()
{
    QFETCH(int, status);
    QFETCH(int, error);
    QFETCH(QString, errorText);
    QFETCH(QString, errorString);
    QFETCH(bool, open);
    QFETCH(QString, box);
    // The dialog's own job (no system bus: it would fail) is cut off from it.
    auto *ownJob = new HelperJob(QStringLiteral("install"), {});
    DriverProgress progress(ownJob, nullptr);
    ownJob->disconnect(&progress);
    QSignalSpy finished(&progress, &DriverProgress::finished);
    progress.show();
    if (status >= 0) {
        progress.jobStatusChanged(KAuth::Action::AuthStatus(status));
    }
    QCOMPARE(progress.isVisible(), open);
    ModalAnswerer answerer(box.isEmpty() ? QList<QDialogButtonBox::StandardButton>() : QList<QDialogButtonBox::StandardButton>{QDialogButtonBox::Ok});
    EndedJob job(error, errorText, errorString);
    progress.processResult(&job);
    QCOMPARE(answerer.texts, box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), box.isEmpty());
    QVERIFY(!progress.isVisible());
}

void KcmTest::rebootWithoutAnyWayToReboot()
{
    qputenv("SUDO_UID", "1000");
    QCOMPARE(Reboot::runtimeDirectory(), QStringLiteral("/run/user/1000"));
    qunsetenv("SUDO_UID");
    QCOMPARE(Reboot::runtimeDirectory(), QStringLiteral("/run/user/"));
    if (QFile::exists(QStringLiteral("/usr/bin/kiv-wmfunc"))) {
        QSKIP("this machine has a reboot tool");
    }
    // No reboot tool, no session bus, no system bus: the user is told.
    ModalAnswerer answerer({QDialogButtonBox::Yes, QDialogButtonBox::Ok});
    DriverProgress::rebootRequest();
    QCOMPARE(answerer.texts.size(), 2);
    QVERIFY2(answerer.texts.at(1).startsWith(QLatin1String("The computer could not be restarted")), qPrintable(answerer.texts.join(QLatin1Char('\n'))));
}

QTEST_MAIN(KcmTest)
#include "kcmtest.moc"
