// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "driverpackagedialog.h"

// Offers the installed driver packages (DriverPackages::removable()), except
// the one that owns the file of the kernel module in use.
class DriverRemover : public DriverPackageDialog
{
    Q_OBJECT

public:
    DriverRemover(const QString &modalias, const QString &currentModulePath, QWidget *parent);

protected:
    QStringList offeredPackages() override;
    QString nothingToOffer() const override;

private:
    QString currentModulePath;
};
