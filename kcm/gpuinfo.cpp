// SPDX-License-Identifier: GPL-2.0-or-later
#include "gpuinfo.h"
#include "device.h"
#include "ui_gpuinfo.h"

#include <QDialogButtonBox>
#include <QLayout>

GpuInfo::GpuInfo(QWidget *parent)
    : QDialog(parent)
    , m_form(new Ui_GpuInfo)
{
    m_form->setupUi(this);
    // Closed by a button too, not only by the window's frame.
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("closeButtons"));
    layout()->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

GpuInfo::~GpuInfo()
{
    delete m_form;
}

void GpuInfo::updateInfo(const Device &gpu)
{
    m_form->modelLabel->setText(gpu.model());
    m_form->vendorLabel->setText(gpu.vendorName());
    m_form->busLabel->setText(gpu.sysfsBusId());
    m_form->devIdLabel->setText(gpu.deviceId());
    m_form->uniqIdLabel->setText(gpu.uniqueId());
}
