// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDialog>
#include <QStringList>

class Ui_DriverPackageOps;

// The dialog of the "Install" and "Remove" buttons: the user picks one driver
// package, the helper installs or purges it while DriverProgress follows the job.
// DriverInstaller and DriverRemover say which packages are offered.
class DriverPackageDialog : public QDialog
{
    Q_OBJECT

public:
    ~DriverPackageDialog() override;

    // Reads the package archive; runs the dialog if there is a package to offer,
    // otherwise says so and returns 0.
    int exec() override;
    // Runs the helper's action for the chosen package, then closes.
    void accept() override;

public Q_SLOTS:
    void invokePackageHelper(const QString &methodName, const QString &argName, const QStringList &names);
    void onDriverProgressFinished(bool success);

protected:
    DriverPackageDialog(const QString &modalias, const QString &actionWord, QWidget *parent);

    // The names of the packages to offer, from the package catalogue.
    virtual QStringList offeredPackages() = 0;
    // What the box says when there is nothing to offer.
    virtual QString nothingToOffer() const = 0;

    Ui_DriverPackageOps *ui;
    QString modalias;

private:
    QString m_actionWord;
};
