// SPDX-License-Identifier: GPL-2.0-or-later
#include "abstracttweak.h"

#include <QWidget>

AbstractTweak::AbstractTweak(QWidget *parentWidget)
    : QObject(nullptr)
    , parentWidget(parentWidget)
{
}

AbstractTweak::~AbstractTweak()
{
    delete tweakWidget.data();
}
