// SPDX-License-Identifier: GPL-2.0-or-later
#include "fallbacktearinghandler.h"

FallbackTearingHandler::FallbackTearingHandler(QWidget *parentWidget)
    : AbstractTearingHandler(parentWidget)
{
}

bool FallbackTearingHandler::applyDependent(bool enable)
{
    return applyIndependent(enable);
}

bool FallbackTearingHandler::loadDependent()
{
    return loadIndependent();
}
