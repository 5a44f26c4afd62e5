// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldreader.h"
#include "controlfieldscan.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/indexfile.h>
#include <apt-pkg/metaindex.h>
#include <apt-pkg/sourcelist.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace
{
using ControlFieldScan::keyOf;
using ControlFieldScan::Record;

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
        const std::string architecture = ControlFieldScan::cacheArchitecture(package->architecture().toStdString(), native);
        records[keyOf(std::string(name.data(), size_t(name.size())), architecture, version.toStdString())].packages.push_back(i);
    }

    const std::string fieldName = field.toStdString();
    for (const std::string &file : indexFiles()) {
        ControlFieldScan::scan(file, fieldName, native, &records);
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
