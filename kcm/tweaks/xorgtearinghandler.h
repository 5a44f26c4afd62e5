// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "abstracttearinghandler.h"

// Intel's and AMD's XOrg drivers: their "TearFree" option, in a snippet the
// helper writes (action "tearing").
class XOrgTearingHandler : public AbstractTearingHandler
{
public:
    // root prefixes the snippet's path, empty for the real system.
    XOrgTearingHandler(const QString &vendor, const QString &driverName, QWidget *parentWidget, const QString &root = QString());

    bool applyDependent(bool enable) override;
    bool loadDependent() override;

private:
    QString vendor;
    QString driverName;
    QString m_root;
};
