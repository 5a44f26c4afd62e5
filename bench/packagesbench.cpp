// SPDX-License-Identifier: GPL-2.0-or-later
// How reading the "Modaliases" field of every package compares with libqapt's
// lookup per package, on this system's package cache. Everything is measured
// in this one run; the per-package lookup is timed on an even sample of the
// packages (a full run takes minutes on compressed lists) and scaled up.
#include "controlfieldreader.h"
#include "modalias.h"

#include <QApt/Backend>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
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
    const double lookupAllNs = perPackageNs * packages.size();

    const auto seconds = [](double ns) {
        return QString::number(ns / 1e9, 'f', 3);
    };
    out << "packages: " << packages.size() << ", with a matching Modaliases field: " << matches << Qt::endl;
    out << "opening the cache (libqapt):            " << seconds(openNs) << " s" << Qt::endl;
    out << "one pass per index file:                " << seconds(onePassNs) << " s" << Qt::endl;
    out << "lookup per package (" << sampled << " sampled, scaled): " << seconds(lookupAllNs) << " s" << Qt::endl;
    out << "ratio lookup per package / one pass:    " << QString::number(lookupAllNs / double(onePassNs), 'f', 1) << Qt::endl;
    out << "list-packages without GPU probe:        " << seconds(double(openNs + onePassNs)) << " s" << Qt::endl;
    if (differences) {
        out << "DIFFERENT values for " << differences << " sampled packages" << Qt::endl;
        return 1;
    }
    return 0;
}
