// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverremover.h"
#include "driverpackages.h"
#include "fileowner.h"
#include "ui_driverpackageops.h"

#include <KLocalizedString>

DriverRemover::DriverRemover(const QString &modalias, const QString &currentModulePath, QWidget *parent)
    : DriverPackageDialog(modalias, QStringLiteral("remove"), parent)
    , currentModulePath(currentModulePath)
{
}

QStringList DriverRemover::offeredPackages()
{
    const QString ownerName = currentModulePath.isEmpty() ? QString() : FileOwner::of(currentModulePath);
    QStringList names;
    for (const DriverPackage &package : DriverPackages::read().removable(modalias, ownerName)) {
        names.append(package.name);
    }
    ui->driverLabel->setText(i18n("Choose a driver to remove:"));
    setWindowTitle(i18n("Driver Removal"));
    return names;
}

QString DriverRemover::nothingToOffer() const
{
    return i18n("No installed and unused drivers detected");
}
