// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverpackagedialog.h"
#include "driverprogress.h"
#include "helperjob.h"
#include "ui_driverpackageops.h"

#include <KMessageBox>

#include <QPushButton>

#include <algorithm>

DriverPackageDialog::DriverPackageDialog(const QString &modalias, const QString &actionWord, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui_DriverPackageOps)
    , modalias(modalias)
    , m_actionWord(actionWord)
{
    ui->setupUi(this);
}

DriverPackageDialog::~DriverPackageDialog()
{
    delete ui;
}

int DriverPackageDialog::exec()
{
    QStringList names = offeredPackages();
    if (names.isEmpty()) {
        // Nothing went wrong: there is just nothing to choose from.
        KMessageBox::information(nullptr, nothingToOffer(), QString());
        return 0;
    }
    std::sort(names.begin(), names.end());
    ui->driverBox->addItems(names);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &DriverPackageDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &DriverPackageDialog::reject);
    return QDialog::exec();
}

void DriverPackageDialog::accept()
{
    const QString name = ui->driverBox->currentText();
    if (!name.isEmpty()) {
        invokePackageHelper(m_actionWord, QStringLiteral("drivers"), {name});
    }
    QDialog::accept();
}

void DriverPackageDialog::invokePackageHelper(const QString &methodName, const QString &argName, const QStringList &names)
{
    if (argName.isEmpty() || names.isEmpty()) {
        return;
    }
    auto *job = new HelperJob(methodName, {{argName, names}});
    // Building a driver's kernel module in one package's script can take many
    // minutes without a progress step.
    job->setLimits(60, 3600);
    auto *progress = new DriverProgress(job, this);
    connect(progress, &DriverProgress::finished, this, &DriverPackageDialog::onDriverProgressFinished);
    progress->exec();
}

void DriverPackageDialog::onDriverProgressFinished(bool success)
{
    close();
    if (success) {
        DriverProgress::rebootRequest();
    }
}
