// SPDX-License-Identifier: GPL-2.0-or-later
// How reading the "Modaliases" field of every package compares with libqapt's
// lookup per package, and with AptCatalog, which list-packages uses, on this
// system's package cache. Everything is measured in this one run; the
// per-package lookup is timed on an even sample of the packages (a full run
// takes minutes on compressed lists) and scaled up.
//
// With --raw it makes one raw pass over the package lists instead: every index
// file read (and decompressed), every record's field taken, nothing else, the
// floor for any listing that reads the lists.
#include "aptcatalog.h"
#include "controlfieldreader.h"
#include "controlfieldscan.h"
#include "modalias.h"

#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/fileutl.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/tagfile.h>

#include <QApt/Backend>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

namespace
{
int rawPass(QTextStream &out)
{
    pkgInitConfig(*_config);
    pkgInitSystem(*_config, _system);
    int records = 0;
    int fields = 0;
    for (const std::string &file : ControlFieldScan::indexFiles()) {
        FileFd fd;
        if (!fd.Open(file, FileFd::ReadOnly, FileFd::Extension)) {
            continue;
        }
        pkgTagFile tags(&fd);
        pkgTagSection section;
        while (tags.Step(section)) {
            ++records;
            fields += section.FindS("Modaliases").empty() ? 0 : 1;
        }
    }
    _error->Discard();
    out << records << " records, " << fields << " with the field" << Qt::endl;
    return 0;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (QCoreApplication::arguments().contains(QStringLiteral("--raw"))) {
        return rawPass(out);
    }
    const int sampleSize = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 200;

    QElapsedTimer timer;
    timer.start();
    QApt::Backend backend;
    backend.init();
    backend.reloadCache();
    const QApt::PackageList packages = backend.availablePackages();
    const qint64 openNs = timer.nsecsElapsed();

    timer.restart();
    const QStringList fields = ControlFieldReader::read(packages, QStringLiteral("Modaliases"));
    int matches = 0;
    for (const QString &field : fields) {
        matches += containsModalias(field, QStringLiteral("pci:v000010DEd00001F91sv0000103Csd000086D5bc03sc02i00")) ? 1 : 0;
    }
    const qint64 onePassNs = timer.nsecsElapsed();

    const int step = qMax(1, packages.size() / qMax(1, sampleSize));
    int sampled = 0;
    int differences = 0;
    timer.restart();
    for (int i = 0; i < packages.size(); i += step, ++sampled) {
        differences += packages.at(i)->controlField(QStringLiteral("Modaliases")) == fields.at(i) ? 0 : 1;
    }
    const double perPackageNs = double(timer.nsecsElapsed()) / qMax(1, sampled);

    // What list-packages does now: libapt-pkg without libqapt's backend.
    timer.restart();
    const QVector<AptCatalog::Package> catalog = AptCatalog::withField(QStringLiteral("Modaliases"));
    int catalogMatches = 0;
    for (const AptCatalog::Package &package : catalog) {
        catalogMatches += containsModalias(package.field, QStringLiteral("pci:v000010DEd00001F91sv0000103Csd000086D5bc03sc02i00")) ? 1 : 0;
    }
    const qint64 catalogNs = timer.nsecsElapsed();
    const double lookupAllNs = perPackageNs * packages.size();

    const auto seconds = [](double ns) {
        return QString::number(ns / 1e9, 'f', 3);
    };
    out << "packages: " << packages.size() << ", with a matching Modaliases field: " << matches << Qt::endl;
    out << "opening the cache (libqapt):            " << seconds(openNs) << " s" << Qt::endl;
    out << "one pass per index file:                " << seconds(onePassNs) << " s" << Qt::endl;
    out << "lookup per package (" << sampled << " sampled, scaled): " << seconds(lookupAllNs) << " s" << Qt::endl;
    out << "ratio lookup per package / one pass:    " << QString::number(lookupAllNs / double(onePassNs), 'f', 1) << Qt::endl;
    out << "libqapt's cache and the one pass:       " << seconds(double(openNs + onePassNs)) << " s" << Qt::endl;
    out << "AptCatalog (cache opened, one pass):    " << seconds(double(catalogNs)) << " s" << Qt::endl;
    out << "ratio libqapt and one pass / AptCatalog: " << QString::number(double(openNs + onePassNs) / double(catalogNs), 'f', 1) << Qt::endl;
    if (catalogMatches != matches) {
        out << "DIFFERENT matches: " << catalogMatches << " from AptCatalog" << Qt::endl;
        return 1;
    }
    if (differences) {
        out << "DIFFERENT values for " << differences << " sampled packages" << Qt::endl;
        return 1;
    }
    return 0;
}
