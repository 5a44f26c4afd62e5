// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <KAuth/Action>

#include <QDialog>
#include <QHash>
#include <QPointer>

class HelperJob;
class KJob;
class Ui_DriverProgress;

// Follows a package job of the helper: a progress bar that mirrors the job's
// percentage; closes when the job ends or its authorisation fails, reports a
// failure, and tells through finished() whether the job succeeded. Also offers
// the reboot that a driver change needs.
class DriverProgress : public QDialog
{
    Q_OBJECT

public:
    // Starts job, which must not have been started.
    DriverProgress(HelperJob *job, QWidget *parent);
    ~DriverProgress() override;

    // Asks whether to reboot and, on Yes, starts the reboot: through the desktop's
    // reboot tool where there is one, else the way Plasma reboots (the session's
    // shutdown service), else through logind; says so when nothing could.
    static void rebootRequest();

Q_SIGNALS:
    void finished(bool success);

public Q_SLOTS:
    void jobProgressChanged(KJob *job, unsigned long newPercent);
    void jobStatusChanged(KAuth::Action::AuthStatus status);
    void processResult(KJob *job);

private:
    Ui_DriverProgress *m_form;
    // A KAuth job deletes itself once it has reported its result: the dialog
    // never deletes it, and forgets it at its result.
    QPointer<HelperJob> job;
    QHash<KAuth::Action::AuthStatus, QString> statusTexts;
};
