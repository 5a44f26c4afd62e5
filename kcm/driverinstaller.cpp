// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverinstaller.h"
#include "driverpackages.h"
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
    // What the command line's list-packages lists, but what is installed already.
    const DriverPackages known = DriverPackages::read();
    m_lacksNvidiaLists = known.lacksNvidiaLists(modalias);
    QStringList names;
    for (const DriverPackage &package : known.covering(modalias)) {
        if (!package.installed) {
            names.append(package.name);
        }
    }
    return names;
}

QString DriverInstaller::nothingToOffer() const
{
    if (m_lacksNvidiaLists) {
        return i18n("No new compatible drivers detected") + QLatin1Char('\n')
            + i18n("Which NVIDIA drivers support this GPU is known only with nvidia-detect installed, which the archive offers.");
    }
    return i18n("No new compatible drivers detected");
}
