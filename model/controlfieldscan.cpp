// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldscan.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/fileutl.h>
#include <apt-pkg/indexfile.h>
#include <apt-pkg/metaindex.h>
#include <apt-pkg/sourcelist.h>
#include <apt-pkg/tagfile.h>

std::vector<std::string> ControlFieldScan::indexFiles()
{
    std::vector<std::string> files;
    // Reading the sources only parses their configuration, not the lists.
    pkgSourceList sources;
    if (sources.ReadMainList()) {
        for (const metaIndex *meta : sources) {
            for (const IndexTarget &target : meta->GetIndexTargets()) {
                const std::string file = target.Option(IndexTarget::EXISTING_FILENAME);
                if (target.Option(IndexTarget::IDENTIFIER) == "Packages" && !file.empty()) {
                    files.push_back(file);
                }
            }
        }
    }
    files.push_back(_config->FindFile("Dir::State::status"));
    return files;
}

bool ControlFieldScan::forEachRecord(const std::string &fileName, const std::function<void(unsigned long long, pkgTagSection &)> &take)
{
    FileFd fd;
    if (!fd.Open(fileName, FileFd::ReadOnly, FileFd::Extension)) {
        _error->Discard();
        return false;
    }
    pkgTagFile tags(&fd);
    pkgTagSection section;
    // APT's list parsers take the offset just before each step, so does this.
    for (unsigned long long offset = tags.Offset(); tags.Step(section); offset = tags.Offset()) {
        take(offset, section);
    }
    _error->Discard();
    return true;
}

void ControlFieldScan::scan(const std::string &fileName,
                            const std::string &field,
                            const std::string &nativeArchitecture,
                            std::unordered_map<std::string, Record> *records)
{
    forEachRecord(fileName, [&](unsigned long long, pkgTagSection &section) {
        const auto it =
            records->find(keyOf(section.FindS("Package"), cacheArchitecture(section.FindS("Architecture"), nativeArchitecture), section.FindS("Version")));
        if (it == records->end()) {
            return;
        }
        Record &record = it->second;
        const std::string value = section.FindS(field.c_str());
        if (!record.found) {
            record.value = value;
            record.found = true;
        } else if (record.value != value) {
            record.ambiguous = true;
        }
    });
}
