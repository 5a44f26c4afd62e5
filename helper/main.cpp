// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverswitchhelper.h"
#include "helperid.h"

#include <KAuth/HelperSupport>

int main(int argc, char **argv)
{
    auto *helper = new DriverSwitchHelper;
    return KAuth::HelperSupport::helperMain(argc, argv, KIV_HELPER_ID, helper);
}
