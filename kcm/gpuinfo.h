// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDialog>

class Device;
class Ui_GpuInfo;

// The identity of a GPU: model, vendor, bus ID, device ID and unique ID.
class GpuInfo : public QDialog
{
    Q_OBJECT

public:
    explicit GpuInfo(QWidget *parent);
    ~GpuInfo() override;

    void updateInfo(const Device &gpu);

private:
    Ui_GpuInfo *m_form;
};
