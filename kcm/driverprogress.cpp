// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverprogress.h"
#include "helperjob.h"
#include "mainmodule.h"
#include "reboot.h"
#include "ui_driverprogress.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QDebug>
#include <QLabel>
#include <QMessageBox>

DriverProgress::DriverProgress(HelperJob *job, QWidget *parent)
    : QDialog(parent)
    , m_form(new Ui_DriverProgress)
    , job(job)
{
    statusTexts.insert(KAuth::Action::DeniedStatus, QStringLiteral("Package processing action denied"));
    statusTexts.insert(KAuth::Action::ErrorStatus, QStringLiteral("Package processing aciton reported an error"));
    statusTexts.insert(KAuth::Action::InvalidStatus, QStringLiteral("Invalid action"));
    statusTexts.insert(KAuth::Action::UserCancelledStatus, QStringLiteral("User cancelled"));
    connect(job, &HelperJob::statusChanged, this, &DriverProgress::jobStatusChanged);
    connect(job, &KJob::percentChanged, this, &DriverProgress::jobProgressChanged);
    connect(job, &KJob::result, this, &DriverProgress::processResult);
    m_form->setupUi(this);
    m_form->progressBar->setValue(0);
    auto *description = new QLabel(job->word() == QLatin1String("remove") ? i18n("Removing driver packages…") : i18n("Installing driver packages…"), this);
    description->setObjectName(QStringLiteral("description"));
    m_form->verticalLayout->insertWidget(0, description);
    m_form->progressBar->setAccessibleName(description->text());
    // Started from the event loop: a job that fails at once (an action KAuth finds
    // invalid) reports its result inside start(), which in the constructor would
    // come before the caller has connected finished() and before exec() runs.
    QMetaObject::invokeMethod(job, &KJob::start, Qt::QueuedConnection);
}

DriverProgress::~DriverProgress()
{
    delete m_form;
}

void DriverProgress::jobProgressChanged(KJob *, unsigned long newPercent)
{
    m_form->progressBar->setValue(int(newPercent));
}

void DriverProgress::jobStatusChanged(KAuth::Action::AuthStatus status)
{
    if (statusTexts.contains(status)) {
        qWarning().noquote() << statusTexts.value(status);
        close();
    }
}

void DriverProgress::processResult(KJob *finishedJob)
{
    const bool success = finishedJob->errorString().isEmpty() && finishedJob->error() == 0;
    if (!success) {
        qCritical("Error code %s, text: \"%s\"!", QByteArray::number(finishedJob->error()).constData(), finishedJob->errorString().toLocal8Bit().constData());
        // KAuth's own failures (a denied authorisation) come with a code only.
        const QString text = finishedJob->errorText().isEmpty() ? MainModule::getError(finishedJob->error()) : finishedJob->errorText();
        KMessageBox::error(nullptr, i18n("Transaction error: %1", text), QString());
    }
    // The job deletes itself after this signal.
    job = nullptr;
    close();
    Q_EMIT finished(success);
}

void DriverProgress::rebootRequest()
{
    const auto answer = QMessageBox::question(nullptr,
                                              i18n("Reboot system request"),
                                              i18n("For correct application, it is recommended to reboot the system.\nReboot now?"),
                                              QMessageBox::Yes | QMessageBox::No,
                                              QMessageBox::NoButton);
    if (answer != QMessageBox::Yes) {
        return;
    }
    const QString failure = Reboot::start();
    if (!failure.isEmpty()) {
        KMessageBox::error(nullptr, failure, QString());
    }
}
