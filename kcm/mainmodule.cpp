// SPDX-License-Identifier: GPL-2.0-or-later
#include "mainmodule.h"
#include "driverenvironment.h"
#include "driverinstaller.h"
#include "driverprogress.h"
#include "driverremover.h"
#include "gpuenumerator.h"
#include "gpuinfo.h"
#include "moduleinfo.h"
#include "secureboot.h"
#include "securebootreport.h"
#include "tweaks.h"
#include "ui_mainmodule.h"
#include "xserver.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QDebug>
#include <QLayout>
#include <QProgressDialog>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <memory>

#if QT_VERSION_MAJOR >= 6
MainModule::MainModule(QObject *parent, const KPluginMetaData &data)
    : KCModule(parent, data)
#else
MainModule::MainModule(QWidget *parent, const QVariantList &args)
    : KCModule(parent, args)
#endif
    , ui(new Ui_MainModule)
    , m_initWatcher(new QFutureWatcher<QList<Device>>(this))
{
    setUp();
}

MainModule::MainModule(QWidget *parent, const Environment &environment)
#if QT_VERSION_MAJOR >= 6
    : KCModule(parent, KPluginMetaData())
#else
    : KCModule(parent)
#endif
    , ui(new Ui_MainModule)
    , m_environment(environment)
    , m_initWatcher(new QFutureWatcher<QList<Device>>(this))
{
    setUp();
}

QWidget *MainModule::form()
{
#if QT_VERSION_MAJOR >= 6
    return widget();
#else
    return this;
#endif
}

void MainModule::setUp()
{
    connect(this, &MainModule::choiceChanged, this, &MainModule::markAsChanged);
    ui->setupUi(form());
    // Unticked only now that its children exist: a group unticked while they are
    // made leaves them without their role for assistive technology.
    ui->xorgGroup->setChecked(false);
    ui->gpuLabel->setBuddy(ui->gpuBox);
    ui->kernelModuleLabel->setBuddy(ui->kernelModuleBox);
    ui->xorgDriverLabel->setBuddy(ui->xorgDriverBox);
    for (const auto &[button, text] : {std::pair<QPushButton *, QString>{ui->gpuInfo, i18n("GPU information")},
                                       std::pair<QPushButton *, QString>{ui->kernelModuleInfo, i18n("Kernel module information")}}) {
        button->setAccessibleName(text);
        button->setToolTip(text);
        // The buttons show only an icon: where no icon theme gives it (Qt 6
        // outside a Plasma session finds none), the style's own.
        if (button->icon().isNull()) {
            button->setIcon(form()->style()->standardIcon(QStyle::SP_MessageBoxInformation));
        }
    }
    setButtons(Help | Apply);
    setGuiEnabled(false);
    connect(m_initWatcher, &QFutureWatcher<QList<Device>>::finished, this, &MainModule::initUi);
    m_initWatcher->setFuture(QtConcurrent::run(m_environment.scan));
}

MainModule::~MainModule()
{
    // The scan cannot be stopped; its result is dropped when it ends.
    m_initWatcher->disconnect(this);
    delete ui;
#if QT_VERSION_MAJOR >= 6
    // KF6 gives the form to the host's widget; a module made without one owns it.
    if (!widget()->parent()) {
        delete widget();
    }
#endif
}

QList<Device> MainModule::getGpus()
{
    DriverEnvironment environment;
    return GpuEnumerator::enumerate(GpuEnumerator::Filter::WithCandidateModules, environment);
}

QString MainModule::getError(int code)
{
    switch (code) {
    case 1:
        return i18n("The helper responder object hasn't been set.");
    case 2:
        return i18n("The action does not exist.");
    case 3:
        return i18n("Invalid action.");
    case 4:
        return i18n("Authorization denied.");
    case 5:
        return i18n("Cancelled by user.");
    case 6:
        return i18n("The helping is busy performing another action.");
    case 7:
        return i18n("Action has already started and is currently running.");
    case 8:
        return i18n("An error from D-Bus occured.");
    case 9:
        return i18n("The underlying backend reported an error.");
    }
    return i18n("Unknown error");
}

Device &MainModule::getCurrentGpu()
{
    return gpus[currentGpuIndex];
}

void MainModule::setGuiEnabled(bool enabled)
{
    for (QWidget *widget : std::initializer_list<QWidget *>{ui->gpuBox,
                                                            ui->kernelModuleBox,
                                                            ui->gpuLabel,
                                                            ui->kernelModuleLabel,
                                                            ui->gpuInfo,
                                                            ui->kernelModuleInfo,
                                                            ui->xorgGroup,
                                                            ui->installDrivers,
                                                            ui->removeDrivers,
                                                            ui->tweaks}) {
        widget->setEnabled(enabled);
    }
}

void MainModule::initUi()
{
    gpus = m_initWatcher->result();
    for (int i = 0; i < gpus.size(); ++i) {
        ui->gpuBox->addItem(gpus.at(i).sysfsBusId() + QLatin1String(": ") + gpus.at(i).model(), i);
    }
    // The whole model name, not what the host's first width, chosen before the
    // names were known, leaves of it: a window narrower than the form now wants
    // grows (never shrinks).
    ui->gpuBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    if (QWidget *top = form()->window(); top != form() && top->isVisible()) {
        const int missing = ui->gpuBox->sizeHint().width() - ui->gpuBox->width();
        if (missing > 0) {
            // A little more: the layout gives the box less than the window gains.
            const int screenWidth = top->screen() ? top->screen()->availableGeometry().width() : 1200;
            top->resize(std::min(top->width() + missing + 2 * form()->fontMetrics().averageCharWidth(), screenWidth), top->height());
        }
    }

    if (gpus.isEmpty()) {
        ui->gpuVendor->setText(i18n("No GPU found"));
        ui->kernelModuleVersion->clear();
        KMessageBox::error(form(), i18n("Couldn't find any GPUs"), QString());
        return;
    }
    for (const Device &gpu : std::as_const(gpus)) {
        m_appliedXorgDrivers.append(gpu.xorgDriver());
    }
    currentGpuIndex = 0;
    updateKernelModuleBox();
    updateXOrgDriverBox();
    updateLabels();

    connect(ui->gpuBox, &QComboBox::currentTextChanged, this, &MainModule::gpuChangedHandler);
    connect(ui->kernelModuleBox, &QComboBox::currentTextChanged, this, &MainModule::kernelModuleChangedHandler);
    connect(ui->xorgDriverBox, &QComboBox::currentTextChanged, this, [this] {
        xorgDriverChangedHandler();
    });
    connect(ui->gpuInfo, &QPushButton::clicked, this, &MainModule::showGpuInfo);
    connect(ui->kernelModuleInfo, &QPushButton::clicked, this, &MainModule::showModuleInfo);
    connect(ui->installDrivers, &QPushButton::clicked, this, &MainModule::showDriverInstaller);
    connect(ui->removeDrivers, &QPushButton::clicked, this, &MainModule::showDriverRemover);
    connect(ui->tweaks, &QPushButton::clicked, this, &MainModule::showTweaks);
    setGuiEnabled(true);
}

void MainModule::updateLabels()
{
    ui->gpuVendor->setText(i18n("Vendor: ") + getCurrentGpu().vendorName());
    ui->kernelModuleVersion->setText(i18n("Version module: %1", ModuleInfo::version(getCurrentGpu().newDriver().path)));
}

void MainModule::updateKernelModuleBox()
{
    // Filling the box is no choice of the user's: it shows the GPU's pending
    // module (the one in use unless the user chose another) and changes nothing.
    const QSignalBlocker blocker(ui->kernelModuleBox);
    ui->kernelModuleBox->clear();
    const Device &gpu = getCurrentGpu();
    const QList<Module> modules = gpu.driverList();
    int selected = -1;
    for (int i = 0; i < modules.size(); ++i) {
        const bool current = modules.at(i).realName == gpu.currentDriver().realName;
        ui->kernelModuleBox->addItem(current ? modules.at(i).realName + i18n(" (current)") : modules.at(i).realName, modules.at(i).realName);
        if (modules.at(i).realName == gpu.newDriver().realName) {
            selected = i;
        }
    }
    ui->kernelModuleBox->setCurrentIndex(qMax(selected, 0));
}

void MainModule::updateXOrgDriverBox()
{
    // Neither the emptied box nor a provisional first item is a choice of the user's.
    const QSignalBlocker blocker(ui->xorgDriverBox);
    ui->xorgDriverBox->clear();
    Device &gpu = getCurrentGpu();
    const QStringList drivers = XServer::installedXOrgDrivers(m_environment.root);
    int selected = -1;
    for (const QString &name : drivers) {
        // The log names a driver by its screen tag (modeset, NVIDIA); the GPU takes
        // the catalogue's name of it.
        if (!gpu.xorgDriver().isEmpty() && name.startsWith(gpu.xorgDriver(), Qt::CaseInsensitive)) {
            gpu.updateXOrgDriver(name);
            ui->xorgDriverBox->addItem(name + i18n(" (current)"), name);
            if (selected < 0) {
                selected = ui->xorgDriverBox->findData(name);
            }
        } else {
            ui->xorgDriverBox->addItem(name, name);
        }
    }
    ui->xorgDriverBox->setCurrentIndex(selected);
}

void MainModule::gpuChangedHandler(const QString &)
{
    currentGpuIndex = ui->gpuBox->currentData().toInt();
    updateKernelModuleBox();
    updateXOrgDriverBox();
    updateLabels();
}

void MainModule::kernelModuleChangedHandler(const QString &)
{
    const QString name = ui->kernelModuleBox->currentData().toString();
    Device &gpu = getCurrentGpu();
    if (name == gpu.newDriver().realName) {
        return;
    }
    gpu.setNewDriver(name);
    ui->kernelModuleVersion->setText(i18n("Version module: %1", ModuleInfo::version(gpu.newDriver().path)));
    Q_EMIT choiceChanged();
}

void MainModule::xorgDriverChangedHandler()
{
    const QString name = ui->xorgDriverBox->currentData().toString();
    if (name.isEmpty() || name == getCurrentGpu().xorgDriver()) {
        return;
    }
    getCurrentGpu().updateXOrgDriver(name);
    Q_EMIT choiceChanged();
}

void MainModule::load()
{
    // Reset: every GPU back to what is applied, none keeps a pending choice.
    for (int i = 0; i < gpus.size(); ++i) {
        gpus[i].resetNewDriver();
        gpus[i].updateXOrgDriver(m_appliedXorgDrivers.value(i));
    }
    currentGpuIndex = 0;
    // Once the scan has filled the form. The XOrg box too while "Expert settings"
    // is not ticked: it would show another GPU's driver once it is.
    if (ui->kernelModuleBox->isEnabled()) {
        const QSignalBlocker blocker(ui->gpuBox);
        ui->xorgGroup->setChecked(false);
        ui->gpuBox->setCurrentIndex(0);
        updateKernelModuleBox();
        updateXOrgDriverBox();
        updateLabels();
    }
}

void MainModule::save()
{
    if (gpus.isEmpty()) {
        return;
    }
    if (!secureBootAllowsSwitch()) {
        // The choices stay pending, Apply with them, after the host has marked
        // the module saved.
        QTimer::singleShot(0, this, [this] {
            Q_EMIT choiceChanged();
        });
        return;
    }
    QVariantList entries;
    for (const Device &gpu : std::as_const(gpus)) {
        entries.append(replaceRequestEntry(gpu, true));
    }
    // Rebuilding the initramfs takes tens of seconds: the module says what it waits for.
    std::unique_ptr<QProgressDialog> busy;
    const auto onStep = [this, &busy](const QVariantMap &step) {
        if (initramfsUpdating(step) && !busy) {
            busy = std::make_unique<QProgressDialog>(i18n("Updating the initramfs %1, which takes a while…", initramfsImageOf(step)), QString(), 0, 0, form());
            busy->setObjectName(QStringLiteral("initramfsProgress"));
            busy->setWindowTitle(i18n("Kernel module switch"));
            busy->setWindowModality(Qt::WindowModal);
            busy->setMinimumDuration(0);
            busy->show();
        }
    };
    const HelperReply reply = m_environment.replace({{QStringLiteral("data"), entries}}, onStep);
    busy.reset();
    // The switch is written, only the initramfs is not: the helper's text says
    // how to finish, and the switch is not offered again.
    const bool initramfsFailedOnly = !reply.succeeded && initramfsFailed(reply.data);
    if (initramfsFailedOnly) {
        logHelperFailure(reply);
        KMessageBox::error(form(), reply.errorText, QString());
    } else if (!reply.succeeded) {
        logHelperFailure(reply);
        // KAuth leaves the helper's description in the error text, not the string.
        const QString detail = !reply.errorString.isEmpty() ? reply.errorString : !reply.errorText.isEmpty() ? reply.errorText : getError(reply.code);
        KMessageBox::error(form(), i18n("Kernel module switch error: ") + detail, QString());
        // Nothing was applied: the choices stay pending, Apply with them.
        QTimer::singleShot(0, this, [this] {
            Q_EMIT choiceChanged();
        });
        return;
    }
    for (int i = 0; i < gpus.size(); ++i) {
        m_appliedXorgDrivers[i] = gpus.at(i).xorgDriver();
    }
    // The helper switched every GPU that was sent with another module, not only
    // the one shown.
    for (Device &gpu : gpus) {
        if (gpu.newDriver().realName != gpu.currentDriver().realName) {
            gpu.updateCurrentDriver();
        }
    }
    updateKernelModuleBox();
    if (!initramfsFailedOnly) {
        DriverProgress::rebootRequest();
    }
}

bool MainModule::secureBootAllowsSwitch()
{
    const SecureBoot secureBoot(m_environment.root);
    if (!secureBoot.enforcing()) {
        return true;
    }
    QStringList refusals;
    for (const Device &gpu : std::as_const(gpus)) {
        const Module module = gpu.newDriver();
        if (module.realName == gpu.currentDriver().realName) {
            continue;
        }
        const SecureBoot::ModuleCheck check = secureBoot.check(module.path);
        if (SecureBoot::refused(check.verdict)) {
            refusals.append(SecureBootReport::refusal(module.displayName, check));
        }
    }
    if (refusals.isEmpty()) {
        return true;
    }
    refusals.append(i18n("Switch anyway? After the reboot the GPU may be left on a fallback driver or a black screen."));
    return KMessageBox::warningContinueCancel(form(),
                                              refusals.join(QStringLiteral("\n\n")),
                                              i18n("Secure Boot"),
                                              KGuiItem(i18n("Switch Anyway")),
                                              KStandardGuiItem::cancel(),
                                              QString(),
                                              KMessageBox::Notify | KMessageBox::Dangerous)
        == KMessageBox::Continue;
}

void MainModule::showGpuInfo()
{
    GpuInfo info(form());
    info.updateInfo(getCurrentGpu());
    info.exec();
}

void MainModule::showModuleInfo()
{
    ModuleInfo info(form());
    const SecureBoot secureBoot(m_environment.root);
    if (info.updateInfo(getCurrentGpu().newDriver().path, getCurrentGpu().newDriver().displayName, &secureBoot)) {
        info.exec();
    }
}

void MainModule::showDriverInstaller()
{
    DriverInstaller installer(getCurrentGpu().modalias(), form());
    installer.exec();
}

void MainModule::showDriverRemover()
{
    DriverRemover remover(getCurrentGpu().modalias(), getCurrentGpu().currentDriver().path, form());
    remover.exec();
}

void MainModule::showTweaks()
{
    Tweaks tweaks(getCurrentGpu(), form(), {QStringLiteral("/usr/bin/"), m_environment.root});
    tweaks.exec();
}
