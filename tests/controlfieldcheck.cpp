// SPDX-License-Identifier: GPL-2.0-or-later
// Reads control fields of every package of the system's package cache three
// times: through ControlFieldReader's one pass per index file, through
// AptCatalog's, and through libqapt's lookup per package, and fails on the
// first package where they differ. Run inside fake machines whose APT lists are
// plain or compressed, with and without a kept package cache.
#include "aptcatalog.h"
#include "controlfieldreader.h"

#include <QApt/Backend>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QApt::Backend backend;
    if (!backend.init()) {
        out << "cannot open the package cache" << Qt::endl;
        return 1;
    }
    const QApt::PackageList packages = backend.availablePackages();
    const QStringList fields{QStringLiteral("Modaliases"), QStringLiteral("Maintainer"), QStringLiteral("Package")};
    for (const QString &field : fields) {
        const QStringList values = ControlFieldReader::read(packages, field);
        int present = 0;
        for (int i = 0; i < packages.size(); ++i) {
            const QString expected = packages.at(i)->controlField(field);
            if (values.at(i) != expected) {
                out << "FAIL " << packages.at(i)->name() << " " << field << ": \"" << values.at(i) << "\" instead of \"" << expected << "\"" << Qt::endl;
                return 1;
            }
            present += expected.isEmpty() ? 0 : 1;
        }
        // The catalog gives the packages with the field, in libqapt's order.
        const QVector<AptCatalog::Package> catalog = AptCatalog::withField(field);
        int next = 0;
        for (const QApt::Package *package : packages) {
            const QString expected = package->controlField(field);
            if (expected.isEmpty()) {
                continue;
            }
            if (next >= catalog.size()) {
                out << "FAIL the catalog misses " << package->name() << " " << field << Qt::endl;
                return 1;
            }
            const AptCatalog::Package &entry = catalog.at(next++);
            if (entry.name != package->name() || entry.installed != package->isInstalled() || entry.field != expected) {
                out << "FAIL catalog entry " << next << ": " << entry.name << " (installed " << entry.installed << ") \"" << entry.field << "\" instead of "
                    << package->name() << " (installed " << package->isInstalled() << ") \"" << expected << "\"" << Qt::endl;
                return 1;
            }
        }
        if (next != catalog.size()) {
            out << "FAIL the catalog has " << catalog.size() - next << " packages more, the first " << catalog.at(next).name << Qt::endl;
            return 1;
        }
        out << field << ": " << packages.size() << " packages, " << present << " with the field, all identical" << Qt::endl;
        if (present == 0) {
            out << "FAIL no package has the field " << field << ": nothing was compared" << Qt::endl;
            return 1;
        }
    }
    return 0;
}
