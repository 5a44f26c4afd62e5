// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "driverpackagedialog.h"

// Offers the driver packages of the archive that support the GPU (by their
// "Modaliases" field, AppStream's catalogue or nvidia-detect's lists) and are
// not installed.
class DriverInstaller : public DriverPackageDialog
{
    Q_OBJECT

public:
    DriverInstaller(const QString &modalias, QWidget *parent);

    static bool containsModalias(QString field, QString modalias);

protected:
    QStringList offeredPackages() override;
    QString nothingToOffer() const override;

private:
    bool m_lacksNvidiaLists = false;
};
