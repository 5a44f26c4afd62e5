// SPDX-License-Identifier: GPL-2.0-or-later
#include "controlfieldreader.h"

#include <QDebug>

#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/depcache.h>
#include <apt-pkg/error.h>
#include <apt-pkg/fileutl.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/tagfile.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace
{
struct Wanted {
    unsigned long long offset;
    int index;
};

QStringList readOneByOne(const QApt::PackageList &packages, const QString &field)
{
    QStringList values;
    values.reserve(packages.size());
    for (const QApt::Package *package : packages) {
        values.append(package->controlField(field));
    }
    return values;
}

void readIndexFile(const std::string &fileName, std::vector<Wanted> &wanted, const std::string &field, QStringList *values)
{
    std::sort(wanted.begin(), wanted.end(), [](const Wanted &a, const Wanted &b) {
        return a.offset < b.offset;
    });
    FileFd fd;
    if (!fd.Open(fileName, FileFd::ReadOnly, FileFd::Extension)) {
        _error->Discard();
        return;
    }
    pkgTagFile tags(&fd);
    pkgTagSection section;
    size_t next = 0;
    while (next < wanted.size()) {
        const unsigned long long offset = tags.Offset();
        if (!tags.Step(section)) {
            break;
        }
        while (next < wanted.size() && wanted[next].offset < offset) {
            ++next; // not the start of a record in this file: left empty
        }
        if (next < wanted.size() && wanted[next].offset == offset) {
            const QString value = QString::fromStdString(section.FindS(field));
            for (; next < wanted.size() && wanted[next].offset == offset; ++next) {
                (*values)[wanted[next].index] = value;
            }
        }
    }
    _error->Discard();
}
}

QStringList ControlFieldReader::read(const QApt::PackageList &packages, const QString &field)
{
    if (!_system) {
        // QApt::Backend::init() sets these up; this keeps the reader usable alone.
        pkgInitConfig(*_config);
        pkgInitSystem(*_config, _system);
    }
    pkgCacheFile cacheFile;
    pkgDepCache *depCache = cacheFile.ReadOnlyOpen(nullptr) ? cacheFile.GetDepCache() : nullptr;
    if (!depCache) {
        _error->Discard();
        qWarning() << "Could not open the package cache, reading package records one by one";
        return readOneByOne(packages, field);
    }
    pkgCache *cache = cacheFile.GetPkgCache();

    QStringList values;
    values.reserve(packages.size());
    std::map<std::string, std::vector<Wanted>> byFile;
    for (int i = 0; i < packages.size(); ++i) {
        values.append(QString());
        const QApt::Package *package = packages.at(i);
        const pkgCache::PkgIterator pkg = cache->FindPkg(std::string(package->name().latin1(), size_t(package->name().size())), package->architecture().toStdString());
        if (pkg.end()) {
            continue;
        }
        const pkgCache::VerIterator version = depCache->GetCandidateVersion(pkg);
        if (version.end()) {
            continue;
        }
        const pkgCache::VerFileIterator verFile = version.FileList();
        if (verFile.end() || !verFile.File().FileName()) {
            continue;
        }
        byFile[verFile.File().FileName()].push_back({verFile->Offset, i});
    }
    const std::string fieldName = field.toStdString();
    for (auto &[fileName, wanted] : byFile) {
        readIndexFile(fileName, wanted, fieldName, &values);
    }
    return values;
}
