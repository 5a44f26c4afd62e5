// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldreader.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/fileutl.h>
#include <apt-pkg/indexfile.h>
#include <apt-pkg/metaindex.h>
#include <apt-pkg/sourcelist.h>
#include <apt-pkg/tagfile.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace
{
struct Record {
    std::vector<int> packages; // indexes into the caller's list
    std::string value;
    bool found = false;
    bool ambiguous = false;
};

std::string keyOf(const std::string &name, const std::string &architecture, const std::string &version)
{
    std::string key;
    key.reserve(name.size() + architecture.size() + version.size() + 2);
    key.append(name).append(1, '\0').append(architecture).append(1, '\0').append(version);
    return key;
}

// The files the cache is built from: the package index files of the sources,
// in their order, and the dpkg status file.
std::vector<std::string> indexFiles()
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

// APT files packages for all architectures under the native one, and may merge
// an "all" and a native build of one version into one version of one package:
// records of either count for that package, and where they disagree libqapt decides.
std::string cacheArchitecture(const std::string &architecture, const std::string &nativeArchitecture)
{
    return architecture == "all" ? nativeArchitecture : architecture;
}

void scan(const std::string &fileName, const std::string &field, const std::string &nativeArchitecture, std::unordered_map<std::string, Record> *records)
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
}

QStringList ControlFieldReader::read(const QApt::PackageList &packages, const QString &field)
{
    const std::string native = _config->Find("APT::Architecture");
    std::unordered_map<std::string, Record> records;
    records.reserve(size_t(packages.size()));
    QVector<int> askLibqapt;
    for (int i = 0; i < packages.size(); ++i) {
        const QApt::Package *package = packages.at(i);
        // libqapt reads the record of the candidate version; without one there is none.
        const QString version = package->availableVersion();
        if (version.isEmpty()) {
            continue;
        }
        const QLatin1String name = package->name();
        const std::string architecture = cacheArchitecture(package->architecture().toStdString(), native);
        records[keyOf(std::string(name.data(), size_t(name.size())), architecture, version.toStdString())].packages.push_back(i);
    }

    const std::string fieldName = field.toStdString();
    for (const std::string &file : indexFiles()) {
        scan(file, fieldName, native, &records);
    }

    QStringList values;
    values.reserve(packages.size());
    for (int i = 0; i < packages.size(); ++i) {
        values.append(QString());
    }
    for (const auto &[key, record] : records) {
        for (const int index : record.packages) {
            if (record.found && !record.ambiguous) {
                values[index] = QString::fromStdString(record.value);
            } else {
                askLibqapt.append(index);
            }
        }
    }
    for (const int index : qAsConst(askLibqapt)) {
        values[index] = packages.at(index)->controlField(field);
    }
    return values;
}
