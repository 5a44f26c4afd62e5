// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "appstreammodaliases.h"
#include "aptcatalog.h"
#include "nvidialists.h"

#include <QHash>
#include <QString>
#include <QVector>

// Why a package is taken for a driver of a GPU.
struct PackageEvidence {
    enum class Source {
        ControlField, // the package's "Modaliases" control field
        AppStream, // a component of AppStream's catalogue provides the modalias
        NvidiaList, // a list of nvidia-detect holds the GPU's ID
    };
    Source source = Source::ControlField;
    QString origin; // the component ID, or the list's path
    QString pattern; // the pattern that matched, or the ID the list holds
};

struct DriverPackage {
    QString name;
    bool installed = false;
    // AppStream calls it firmware: it serves other devices too (firmware-misc-nonfree
    // holds Wi-Fi and Bluetooth firmware as well), so it is never offered for removal.
    bool firmware = false;
    QVector<PackageEvidence> evidence;
};

// Which packages of the archive drive a GPU, from everything Debian and its
// derivatives know of it: the "Modaliases" control field (Ubuntu's driver
// packages), AppStream's modalias provides (Debian's firmware packages) and
// nvidia-detect's lists of NVIDIA's driver series. Only packages the archive has
// are named, each once.
class DriverPackages
{
public:
    // Reads APT's package cache, the DEP-11 files in APT's list directory and
    // the lists of nvidiaDirectory; the last two on another thread while APT's
    // package lists are read.
    static DriverPackages read(const QString &nvidiaDirectory = NvidiaLists::defaultDirectory());
    // From what the three sources gave.
    DriverPackages(const QVector<AptCatalog::Package> &catalogue,
                   const QVector<AppStreamModaliases::Component> &components,
                   const QVector<NvidiaLists::List> &lists);

    // The packages that cover the GPU of modalias: those whose control field
    // does, in the catalogue's order, then those the other sources name, by name.
    QVector<DriverPackage> covering(const QString &modalias) const;

    // The installed packages that may be removed as drivers: every one with a
    // "Modaliases" field or on an NVIDIA list, and the packages that AppStream
    // gives for the GPU of modalias (AppStream's modalias provides describe USB
    // gadgets and the like as well, so only the GPU's count); never a firmware
    // package, nor keep (the owner of the module in use).
    QVector<DriverPackage> removable(const QString &modalias, const QString &keep) const;

    // Whether the GPU of modalias is NVIDIA's, no list of nvidia-detect is
    // installed, and the archive has nvidia-detect to install them.
    bool lacksNvidiaLists(const QString &modalias) const;

private:
    const AptCatalog::Package *package(const QString &name) const;
    // The packages the other sources name for the GPU, each with what named it.
    QHash<QString, DriverPackage> namedFor(const QString &modalias) const;

    QVector<AptCatalog::Package> m_catalogue;
    QHash<QString, int> m_byName;
    QVector<AppStreamModaliases::Component> m_components;
    QVector<NvidiaLists::List> m_lists;
};
