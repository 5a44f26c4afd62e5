// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldreader.h"
#include "controlfieldscan.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>

#include <string>
#include <unordered_map>
#include <vector>

using ControlFieldScan::keyOf;
using ControlFieldScan::Record;

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
    for (const std::string &file : ControlFieldScan::indexFiles()) {
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
    for (const int index : std::as_const(askLibqapt)) {
        values[index] = packages.at(index)->controlField(field);
    }
    return values;
}
