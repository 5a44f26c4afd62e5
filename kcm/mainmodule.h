// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "device.h"
#include "replaceaction.h"

#include <KCModule>

#include <QFutureWatcher>
#include <QList>

#include <functional>

class Ui_MainModule;

// The control module: one GPU at a time, with its kernel module and, behind
// "Expert settings", its XOrg driver. The GPUs are scanned on a worker thread
// while the form shows, disabled; the choices live in the Device records until
// Apply sends every GPU to the helper's action "replace".
class MainModule : public KCModule
{
    Q_OBJECT

public:
    // What the module reads and runs; the product's defaults scan the PCI bus,
    // read the XOrg drivers of the system and run the real helper. Tests give
    // GPUs of their own, a root for the XOrg driver catalogue and a helper stand-in.
    struct Environment {
        std::function<QList<Device>()> scan = &MainModule::getGpus;
        QString root;
        // onStep hears the steps the helper describes while it works.
        std::function<HelperReply(const QVariantMap &, const std::function<void(const QVariantMap &)> &onStep)> replace =
            [](const QVariantMap &arguments, const std::function<void(const QVariantMap &)> &onStep) {
                return runHelperAction(QStringLiteral("replace"), arguments, onStep);
            };
    };

    // As the host makes it. Under KF6 the module is no longer a widget: the form
    // lives on widget().
#if QT_VERSION_MAJOR >= 6
    MainModule(QObject *parent, const KPluginMetaData &data);
#else
    MainModule(QWidget *parent, const QVariantList &args);
#endif
    MainModule(QWidget *parent, const Environment &environment);
    ~MainModule() override;

    // The widget the form is on, the module itself under KF5.
    QWidget *form();

    void load() override;
    void save() override;

    // The GPUs that can be switched: display controllers with candidate modules.
    static QList<Device> getGpus();
    // The text of a KAuth error code.
    static QString getError(int code);

Q_SIGNALS:
    // A choice of the user's that Apply would send; the host hears it as a change
    // to save.
    void choiceChanged();

public Q_SLOTS:
    void initUi();
    void gpuChangedHandler(const QString &gpuName);
    void kernelModuleChangedHandler(const QString &moduleName);
    void showGpuInfo();
    void showModuleInfo();
    void showDriverInstaller();
    void showDriverRemover();
    void showTweaks();

private:
    void setUp();
    Device &getCurrentGpu();
    // Whether every GPU's new module will load under Secure Boot, or the user
    // chose to switch anyway when told which will not.
    bool secureBootAllowsSwitch();
    void setGuiEnabled(bool enabled);
    void updateKernelModuleBox();
    void updateXOrgDriverBox();
    void updateLabels();
    void xorgDriverChangedHandler();

    Ui_MainModule *ui;
    QList<Device> gpus;
    // Each GPU's XOrg driver as last applied (or found), for Reset.
    QStringList m_appliedXorgDrivers;
    int currentGpuIndex = 0;
    Environment m_environment;
    // Owned by the module: a module closed before the scan ends never hears of it.
    QFutureWatcher<QList<Device>> *m_initWatcher;
};
