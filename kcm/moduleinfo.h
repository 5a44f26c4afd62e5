// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDialog>

class SecureBoot;
class Ui_ModuleInfo;

// What modinfo reports about a kernel module file.
class ModuleInfo : public QDialog
{
    Q_OBJECT

public:
    explicit ModuleInfo(QWidget *parent);
    ~ModuleInfo() override;

    // Shows modinfo's lines for the module file path under title; false (after an
    // error box) when modinfo failed. On an EFI machine, whether the module loads
    // under secureBoot follows.
    bool updateInfo(const QString &path, const QString &title, const SecureBoot *secureBoot = nullptr);

    // The module's version as modinfo reports it (without blanks), "unknown"
    // without one.
    static QString version(const QString &path);

private:
    Ui_ModuleInfo *m_form;
};
