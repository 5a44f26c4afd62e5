// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverinstaller.h"
#include "controlfieldreader.h"
#include "modalias.h"

#include <KLocalizedString>

DriverInstaller::DriverInstaller(const QString &modalias, QWidget *parent)
    : DriverPackageDialog(modalias, QStringLiteral("install"), parent)
{
}

bool DriverInstaller::containsModalias(QString field, QString modalias)
{
    return ::containsModalias(field, modalias);
}

QStringList DriverInstaller::offeredPackages()
{
    const QApt::PackageList packages = backend.availablePackages();
    // One pass over the package lists instead of a lookup per package.
    const QStringList fields = ControlFieldReader::read(packages, QStringLiteral("Modaliases"));
    QStringList names;
    for (int i = 0; i < packages.size(); ++i) {
        if (containsModalias(fields.at(i), modalias) && !packages.at(i)->isInstalled()) {
            names.append(packages.at(i)->name());
        }
    }
    return names;
}

QString DriverInstaller::nothingToOffer() const
{
    return i18n("No new compatible drivers detected");
}
