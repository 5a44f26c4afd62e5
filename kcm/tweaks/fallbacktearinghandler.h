// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "abstracttearinghandler.h"

// For a GPU of no known vendor: both variants are the picom snippet.
class FallbackTearingHandler : public AbstractTearingHandler
{
public:
    explicit FallbackTearingHandler(QWidget *parentWidget);

    bool applyDependent(bool enable) override;
    bool loadDependent() override;
};
