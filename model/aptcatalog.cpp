// SPDX-License-Identifier: GPL-2.0-or-later
#include "aptcatalog.h"
#include "controlfieldscan.h"

#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/policy.h>
#include <apt-pkg/tagfile.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace
{
// APT's configuration and system, read once per process.
bool initialized()
{
    static const bool done = [] {
        const bool ok = pkgInitConfig(*_config) && pkgInitSystem(*_config, _system);
        _error->Discard();
        return ok;
    }();
    return done;
}
}

QString AptCatalog::listDirectory()
{
    return initialized() ? QString::fromStdString(_config->FindDir("Dir::State::lists")) : QString();
}

QVector<AptCatalog::Package> AptCatalog::withField(const QString &field, const std::function<QSet<QString>()> &alsoNamed)
{
    QVector<Package> packages;
    if (!initialized()) {
        return packages;
    }
    pkgCacheFile cacheFile;
    pkgCache *const cache = cacheFile.GetPkgCache();
    pkgPolicy *const policy = cache ? cacheFile.GetPolicy() : nullptr;
    if (!policy) {
        _error->Discard();
        return packages;
    }

    // The non-empty values of the field in each file the cache was built from
    // (package lists and dpkg's status), by record offset: a handful in a whole
    // archive.
    const std::string name = field.toStdString();
    std::vector<std::unordered_map<unsigned long long, std::string>> values(cache->Head().PackageFileCount);
    for (pkgCache::PkgFileIterator file = cache->FileBegin(); !file.end(); ++file) {
        if (file.FileName() == nullptr || file->ID >= values.size()) {
            continue;
        }
        auto &fileValues = values[file->ID];
        ControlFieldScan::forEachRecord(file.FileName(), [&](unsigned long long offset, pkgTagSection &record) {
            std::string value = record.FindS(name.c_str());
            if (!value.empty()) {
                fileValues.emplace(offset, std::move(value));
            }
        });
    }

    std::unordered_set<std::string> named;
    if (alsoNamed) {
        for (const QString &name : alsoNamed()) {
            named.insert(name.toStdString());
        }
    }
    // libqapt lists every package that has a version, in the cache's order, and
    // reads the record of the candidate version's first file.
    for (pkgCache::PkgIterator package = cache->PkgBegin(); !package.end(); ++package) {
        if (!package->VersionList) {
            continue;
        }
        const pkgCache::VerIterator candidate = policy->GetCandidateVer(package);
        if (candidate.end()) {
            continue;
        }
        const pkgCache::VerFileIterator record = candidate.FileList();
        if (record.end() || record.File()->ID >= values.size()) {
            continue;
        }
        const auto &fileValues = values[record.File()->ID];
        const auto value = fileValues.find(record->Offset);
        if (value != fileValues.end()) {
            packages.append({QString::fromLatin1(package.Name()), !package.CurrentVer().end(), QString::fromStdString(value->second)});
        } else if (!named.empty() && named.count(package.Name()) > 0) {
            packages.append({QString::fromLatin1(package.Name()), !package.CurrentVer().end(), QString()});
        }
    }
    _error->Discard();
    return packages;
}
