// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverpackages.h"
#include "modalias.h"

#include <algorithm>
#include <future>

namespace
{
const QString nvidiaDetect = QStringLiteral("nvidia-detect");
}

DriverPackages DriverPackages::read(const QString &nvidiaDirectory)
{
    const QString lists = AptCatalog::listDirectory();
    // Decompressing the DEP-11 files (20 MiB for Debian's main) takes about as
    // long as reading APT's package lists; the two run side by side, and the
    // files are decompressed again only when APT fetched new ones.
    std::future<std::pair<QVector<AppStreamModaliases::Component>, QVector<NvidiaLists::List>>> others =
        std::async(std::launch::async, [lists, nvidiaDirectory] {
            QVector<AppStreamModaliases::Component> components;
            if (!lists.isEmpty()) {
                components = AppStreamModaliases::readAll(lists);
            }
            return std::make_pair(components, NvidiaLists::read(nvidiaDirectory));
        });
    std::pair<QVector<AppStreamModaliases::Component>, QVector<NvidiaLists::List>> read;
    const QVector<AptCatalog::Package> catalogue = AptCatalog::withField(QStringLiteral("Modaliases"), [&others, &read] {
        read = others.get();
        QSet<QString> names{nvidiaDetect};
        for (const AppStreamModaliases::Component &component : std::as_const(read.first)) {
            names.insert(component.package);
        }
        for (const NvidiaLists::List &list : std::as_const(read.second)) {
            names.insert(list.package);
        }
        return names;
    });
    if (others.valid()) {
        // The catalogue could not be read: the names were never asked for.
        read = others.get();
    }
    return DriverPackages(catalogue, read.first, read.second);
}

DriverPackages::DriverPackages(const QVector<AptCatalog::Package> &catalogue,
                               const QVector<AppStreamModaliases::Component> &components,
                               const QVector<NvidiaLists::List> &lists)
    : m_catalogue(catalogue)
    , m_components(components)
    , m_lists(lists)
{
    for (int i = 0; i < m_catalogue.size(); ++i) {
        // A package of several architectures is one package here.
        if (!m_byName.contains(m_catalogue.at(i).name)) {
            m_byName.insert(m_catalogue.at(i).name, i);
        }
    }
}

const AptCatalog::Package *DriverPackages::package(const QString &name) const
{
    const auto found = m_byName.constFind(name);
    return found == m_byName.cend() ? nullptr : &m_catalogue.at(*found);
}

QHash<QString, DriverPackage> DriverPackages::namedFor(const QString &modalias) const
{
    QHash<QString, DriverPackage> found;
    const auto add = [this, &found](const QString &name, const PackageEvidence &evidence, bool firmware) {
        const AptCatalog::Package *known = package(name);
        if (!known) {
            return; // not in the archive: nothing to install
        }
        DriverPackage &entry = found[name];
        entry.name = name;
        entry.installed = known->installed;
        entry.firmware = entry.firmware || firmware;
        entry.evidence.append(evidence);
    };
    for (const AppStreamModaliases::Component &component : m_components) {
        for (const QString &pattern : component.patterns) {
            if (AppStreamModaliases::patternMatches(pattern, modalias)) {
                add(component.package, {PackageEvidence::Source::AppStream, component.id, pattern}, component.firmware);
                break;
            }
        }
    }
    const QString id = NvidiaLists::idOf(modalias);
    for (const NvidiaLists::List &list : m_lists) {
        if (!id.isEmpty() && list.ids.contains(id)) {
            add(list.package, {PackageEvidence::Source::NvidiaList, list.path, id}, false);
        }
    }
    return found;
}

QVector<DriverPackage> DriverPackages::covering(const QString &modalias) const
{
    QHash<QString, DriverPackage> named = namedFor(modalias);
    QVector<DriverPackage> packages;
    QSet<QString> listed;
    for (const AptCatalog::Package &candidate : m_catalogue) {
        QString pattern;
        if (candidate.field.isEmpty() || listed.contains(candidate.name) || !containsModalias(candidate.field, modalias, &pattern)) {
            continue;
        }
        DriverPackage package{candidate.name, candidate.installed, false, {{PackageEvidence::Source::ControlField, QString(), pattern}}};
        const auto more = named.find(candidate.name);
        if (more != named.end()) {
            package.firmware = more->firmware;
            package.evidence += more->evidence;
            named.erase(more);
        }
        listed.insert(candidate.name);
        packages.append(package);
    }
    QStringList rest = named.keys();
    std::sort(rest.begin(), rest.end());
    for (const QString &name : std::as_const(rest)) {
        packages.append(named.value(name));
    }
    return packages;
}

QVector<DriverPackage> DriverPackages::removable(const QString &modalias, const QString &keep) const
{
    QSet<QString> firmware;
    for (const AppStreamModaliases::Component &component : m_components) {
        if (component.firmware) {
            firmware.insert(component.package);
        }
    }
    QSet<QString> named;
    for (const NvidiaLists::List &list : m_lists) {
        named.insert(list.package);
    }
    const QHash<QString, DriverPackage> forGpu = namedFor(modalias);
    for (auto it = forGpu.cbegin(); it != forGpu.cend(); ++it) {
        named.insert(it.key());
    }
    QVector<DriverPackage> packages;
    QSet<QString> listed;
    for (const AptCatalog::Package &candidate : m_catalogue) {
        if (!candidate.installed || candidate.name == keep || firmware.contains(candidate.name) || listed.contains(candidate.name)
            || (candidate.field.isEmpty() && !named.contains(candidate.name))) {
            continue;
        }
        listed.insert(candidate.name);
        packages.append({candidate.name, true, false, {}});
    }
    return packages;
}

bool DriverPackages::lacksNvidiaLists(const QString &modalias) const
{
    return NvidiaLists::idOf(modalias).startsWith(QLatin1String("10DE")) && m_lists.isEmpty() && package(nvidiaDetect);
}
