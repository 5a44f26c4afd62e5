// SPDX-License-Identifier: GPL-2.0-or-later
#include "authorizationwatchdog.h"
#include "driverswitchhelper.h"
#include "helperid.h"
#include "requestgate.h"

#include <KAuth/HelperSupport>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{
// Long enough for an administrator at a password prompt; KAuth's callers give
// up on a reply after 25 s unless they ask for more.
constexpr int defaultAuthorizationLimit = 120;
}

int main(int argc, char **argv)
{
    // The limit can be lowered on the command line of the D-Bus service file,
    // which only root can change: tests do so.
    int limit = defaultAuthorizationLimit;
    if (argc >= 3 && std::strcmp(argv[1], "--authorization-limit") == 0) {
        limit = std::max(1, std::atoi(argv[2]));
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    RequestGate::reserveStack();
    auto *helper = new DriverSwitchHelper;
    AuthorizationWatchdog::install(helper, limit);
    RequestGate::install(KIV_HELPER_ID, DriverSwitchHelper::actionWords());
    return KAuth::HelperSupport::helperMain(argc, argv, KIV_HELPER_ID, helper);
}
