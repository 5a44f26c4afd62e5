// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class pkgTagSection;

// The one-pass reading of package index files behind ControlFieldReader.
namespace ControlFieldScan
{
struct Record {
    std::vector<int> packages; // indexes into the caller's list
    std::string value;
    bool found = false;
    bool ambiguous = false;
};

inline std::string keyOf(const std::string &name, const std::string &architecture, const std::string &version)
{
    std::string key;
    key.reserve(name.size() + architecture.size() + version.size() + 2);
    key.append(name).append(1, '\0').append(architecture).append(1, '\0').append(version);
    return key;
}

// APT files packages for all architectures under the native one, and may merge
// an "all" and a native build of one version into one version of one package:
// records of either count for that package, and where they disagree libqapt decides.
inline std::string cacheArchitecture(const std::string &architecture, const std::string &nativeArchitecture)
{
    return architecture == "all" ? nativeArchitecture : architecture;
}

// The files the package cache is built from: the package index files of the
// sources, in their order, and the dpkg status file. APT's configuration must
// be read (QApt::Backend::init() does it).
std::vector<std::string> indexFiles();

// Calls take for every record of the package index (or dpkg status) file
// fileName, with the record's offset as APT's package cache gives it
// (pkgCache::VerFile::Offset): the offset in the uncompressed file of where the
// record's parse started. False when the file cannot be opened.
bool forEachRecord(const std::string &fileName, const std::function<void(unsigned long long offset, pkgTagSection &record)> &take);

// Reads every record of the package index (or dpkg status) file fileName; for
// each whose package, architecture and version is a key of records, takes the
// value of field. A record whose packages found disagreeing values is ambiguous.
void scan(const std::string &fileName, const std::string &field, const std::string &nativeArchitecture, std::unordered_map<std::string, Record> *records);
}
