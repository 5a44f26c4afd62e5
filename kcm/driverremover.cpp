// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverremover.h"
#include "controlfieldreader.h"
#include "ui_driverpackageops.h"

#include <KLocalizedString>

DriverRemover::DriverRemover(const QString &modalias, const QString &currentModulePath, QWidget *parent)
    : DriverPackageDialog(modalias, QStringLiteral("remove"), parent)
    , currentModulePath(currentModulePath)
{
}

QStringList DriverRemover::offeredPackages()
{
    const QApt::Package *owner = currentModulePath.isEmpty() ? nullptr : backend.packageForFile(currentModulePath);
    const QString ownerName = owner ? owner->name() : QString();
    const QApt::PackageList packages = backend.availablePackages();
    const QStringList fields = ControlFieldReader::read(packages, QStringLiteral("Modaliases"));
    QStringList names;
    for (int i = 0; i < packages.size(); ++i) {
        if (!fields.at(i).isEmpty() && packages.at(i)->isInstalled() && packages.at(i)->name() != ownerName) {
            names.append(packages.at(i)->name());
        }
    }
    ui->driverLabel->setText(i18n("Choose a driver to remove:"));
    setWindowTitle(i18n("Driver Removal"));
    return names;
}

QString DriverRemover::nothingToOffer() const
{
    return i18n("No installed and unused drivers detected");
}
