// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "driverpackagedialog.h"

// Offers the driver packages of the archive that declare support for the GPU
// (their "Modaliases" cover its modalias) and are not installed.
class DriverInstaller : public DriverPackageDialog
{
    Q_OBJECT

public:
    DriverInstaller(const QString &modalias, QWidget *parent);

    static bool containsModalias(QString field, QString modalias);

protected:
    QStringList offeredPackages() override;
    QString nothingToOffer() const override;
};
