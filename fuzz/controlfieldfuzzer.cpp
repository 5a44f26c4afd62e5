// SPDX-License-Identifier: GPL-2.0-or-later
// The one-pass reader of package index files, on any file.
#include "controlfieldscan.h"
#include "fuzzinput.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/init.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = pkgInitConfig(*_config);
    (void)initialised;
    const FuzzInput::MemoryFile file(FuzzInput::bytes(data, size));
    std::unordered_map<std::string, ControlFieldScan::Record> records;
    for (const char *name : {"nvidia-driver-470", "virtualbox-guest-x11", "kiv-tools"}) {
        for (const char *version : {"470.86-0ubuntu0.20.04.2", "5.2.10-dfsg-6", "1.0-1"}) {
            records[ControlFieldScan::keyOf(name, "amd64", version)].packages.push_back(0);
        }
    }
    ControlFieldScan::scan(file.path().toStdString(), "Modaliases", "amd64", &records);
    for (const auto &[key, record] : records) {
        if (!record.found && (record.ambiguous || !record.value.empty())) {
            FuzzInput::fail("a value without a record");
        }
    }
    return 0;
}
