// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldscan.h"

#include <apt-pkg/error.h>
#include <apt-pkg/fileutl.h>
#include <apt-pkg/tagfile.h>

void ControlFieldScan::scan(const std::string &fileName,
                            const std::string &field,
                            const std::string &nativeArchitecture,
                            std::unordered_map<std::string, Record> *records)
{
    FileFd fd;
    if (!fd.Open(fileName, FileFd::ReadOnly, FileFd::Extension)) {
        _error->Discard();
        return;
    }
    pkgTagFile tags(&fd);
    pkgTagSection section;
    const auto take = [&](Record &record, const std::string &value) {
        if (!record.found) {
            record.value = value;
            record.found = true;
        } else if (record.value != value) {
            record.ambiguous = true;
        }
    };
    while (tags.Step(section)) {
        const std::string name = section.FindS("Package");
        const std::string version = section.FindS("Version");
        const auto it = records->find(keyOf(name, cacheArchitecture(section.FindS("Architecture"), nativeArchitecture), version));
        if (it != records->end()) {
            take(it->second, section.FindS(field.c_str()));
        }
    }
    _error->Discard();
}
