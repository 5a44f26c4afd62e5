// SPDX-License-Identifier: GPL-2.0-or-later
#include "abstracttearinghandler.h"
#include "atomicfile.h"
#include "picomconfig.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpacerItem>

namespace
{
QWidget *row(QWidget *parent, QLabel *label, QCheckBox *box)
{
    auto *widget = new QWidget(parent);
    auto *layout = new QHBoxLayout(widget);
    layout->setSpacing(0);
    layout->addWidget(label);
    layout->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addWidget(box);
    return widget;
}
}

AbstractTearingHandler::AbstractTearingHandler(QWidget *parentWidget)
    : AbstractTweak(parentWidget)
    , tearingBox(new QCheckBox(parentWidget))
    , independentBox(new QCheckBox(parentWidget))
    , m_tearingLabel(new QLabel(i18n("Tearing prevention"), parentWidget))
    , m_independentLabel(new QLabel(i18n("Use machine-independent tearing prevention"), parentWidget))
{
    tearingBox->setObjectName(QStringLiteral("tearingBox"));
    independentBox->setObjectName(QStringLiteral("independentBox"));
    QWidget *tearingRow = row(parentWidget, m_tearingLabel, tearingBox);
    QWidget *independentRow = row(parentWidget, m_independentLabel, independentBox);
    auto *group = new QGroupBox(i18n("Tearing prevention"), parentWidget);
    auto *layout = new QVBoxLayout(group);
    layout->addWidget(tearingRow);
    layout->addWidget(independentRow);
    tweakWidget = group;
    independentRow->setEnabled(false);
    connect(tearingBox, &QCheckBox::stateChanged, independentRow, [independentRow](int state) {
        independentRow->setEnabled(state == Qt::Checked);
    });
}

AbstractTearingHandler::~AbstractTearingHandler() = default;

QString AbstractTearingHandler::home()
{
    return QString::fromUtf8(qgetenv("HOME"));
}

QString AbstractTearingHandler::tweaksFilePath()
{
    return home() + QStringLiteral("/.config/kiv-admin-driver-picom.conf");
}

bool AbstractTearingHandler::loadState()
{
    bool ok = loadIndependent();
    if (ok) {
        ok = loadDependent();
    }
    if (independentBox->isChecked()) {
        tearingBox->setChecked(true);
    }
    return ok;
}

bool AbstractTearingHandler::apply()
{
    if (independentBox->isChecked()) {
        return applyIndependent(tearingBox->isChecked());
    }
    return applyDependent(tearingBox->isChecked());
}

bool AbstractTearingHandler::loadIndependent()
{
    if (!QFileInfo::exists(tweaksFilePath())) {
        independentBox->setChecked(false);
        return true;
    }
    QByteArray text;
    QString error;
    if (!AtomicFile::read(tweaksFilePath(), &text, &error)) {
        KMessageBox::error(parentWidget, i18n("Cannot read existing tweaks config file"), QString());
        return false;
    }
    independentBox->setChecked(PicomConfig::isPreventionOn(text));
    return true;
}

bool AbstractTearingHandler::applyIndependent(bool enable)
{
    // The tweaks file (replaced whole: a full disk never leaves half a snippet)
    // and the include of it in the configuration picom reads.
    PicomConfig picom = PicomConfig::fromEnvironment(home());
    switch (picom.setTearingPrevention(enable, tweaksFilePath())) {
    case PicomConfig::ReadFailed:
        KMessageBox::error(parentWidget, i18n("Cannot access picom config file for read"), QString());
        return false;
    case PicomConfig::WriteFailed:
        KMessageBox::error(parentWidget, i18n("Cannot access picom config file for write"), QString());
        return false;
    case PicomConfig::TweaksFailed:
        KMessageBox::error(parentWidget, i18n("Cannot create tweaks config file"), QString());
        return false;
    case PicomConfig::Conflict:
        KMessageBox::error(parentWidget,
                           i18n("Your picom configuration turns vsync off where it cannot be set aside (%1). Turn it on there, or put it on a line of its own.",
                                picom.problem()),
                           QString());
        return false;
    case PicomConfig::Done:
        break;
    }
    return true;
}
