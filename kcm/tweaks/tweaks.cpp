// SPDX-License-Identifier: GPL-2.0-or-later
#include "tweaks.h"
#include "benchmark.h"
#include "device.h"
#include "driverprogress.h"
#include "fallbacktearinghandler.h"
#include "nvidiatearinghandler.h"
#include "ui_tweaks.h"
#include "xorgtearinghandler.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QDebug>
#include <QProcess>
#include <QPushButton>

Tweaks::Tweaks(Device &device, QWidget *parent)
    : Tweaks(device, parent, Environment())
{
}

Tweaks::Tweaks(Device &device, QWidget *parent, const Environment &environment)
    : QDialog(parent)
    , m_form(new Ui_Tweaks)
    , device(device)
    , m_environment(environment)
{
    m_form->setupUi(this);
}

Tweaks::~Tweaks()
{
    delete tearingHandler;
    delete benchmark;
    delete m_form;
}

QString Tweaks::lowerCaseDriver() const
{
    return device.xorgDriver().toLower();
}

bool Tweaks::testNvidia()
{
    if (!lowerCaseDriver().contains(QLatin1String("nvidia"))) {
        return false;
    }
    QProcess settings;
    settings.start(m_environment.programDirectory + QStringLiteral("nvidia-settings"), {QStringLiteral("-v")});
    // One that does not answer in time does not work.
    return settings.waitForFinished(30000) && settings.exitStatus() == QProcess::NormalExit && settings.exitCode() == 0;
}

bool Tweaks::testIntel()
{
    return lowerCaseDriver().contains(QLatin1String("intel")) && lowerCaseDriver().contains(QLatin1String("i915"));
}

bool Tweaks::testAMD()
{
    return lowerCaseDriver().contains(QLatin1String("amd"));
}

void Tweaks::addTearingHandler()
{
    if (!tearingHandler) {
        if (testNvidia()) {
            tearingHandler = new NvidiaTearingHandler(this, m_environment.programDirectory);
        } else if (testIntel()) {
            tearingHandler = new XOrgTearingHandler(QStringLiteral("intel"), device.xorgDriver(), this, m_environment.root);
        } else if (testAMD()) {
            tearingHandler = new XOrgTearingHandler(QStringLiteral("amd"), device.xorgDriver(), this, m_environment.root);
        } else {
            tearingHandler = new FallbackTearingHandler(this);
        }
    }
    if (!tearingHandler->loadState()) {
        delete tearingHandler;
        qDebug() << "Machine-dependent tearing prevention load failure, trying fallback";
        tearingHandler = new FallbackTearingHandler(this);
        if (!tearingHandler->loadState()) {
            qDebug() << "General tearing prevention tweak failure";
            delete tearingHandler;
            tearingHandler = nullptr;
            return;
        }
    }
    m_form->tweaksLayout->addWidget(tearingHandler->getTweakWidget());
}

void Tweaks::addBenchmark()
{
    if (!benchmark) {
        benchmark = new Benchmark(QStringLiteral("glmark2"), this, m_environment.programDirectory);
    }
    m_form->tweaksLayout->addWidget(benchmark->getTweakWidget());
}

int Tweaks::exec()
{
    addTearingHandler();
    addBenchmark();
    // Without a tearing tweak OK would have nothing to apply: only Cancel closes.
    m_form->confirmBox->button(QDialogButtonBox::Ok)->setEnabled(tearingHandler != nullptr);
    connect(m_form->confirmBox, &QDialogButtonBox::accepted, this, &Tweaks::accept);
    connect(m_form->confirmBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    return QDialog::exec();
}

void Tweaks::accept()
{
    close();
    if (!tearingHandler) {
        return;
    }
    if (tearingHandler->apply()) {
        DriverProgress::rebootRequest();
    } else {
        KMessageBox::error(this, i18n("Following tweaks failed to apply: ") + i18n("Tearing prevention"), QString());
    }
}
