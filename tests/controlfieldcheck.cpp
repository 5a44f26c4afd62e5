// SPDX-License-Identifier: GPL-2.0-or-later
// Reads control fields of every package of the system's package cache twice:
// through ControlFieldReader's one pass per index file and through libqapt's
// lookup per package, and fails on the first package where they differ. Run
// inside fake machines whose APT lists are plain or compressed.
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
        out << field << ": " << packages.size() << " packages, " << present << " with the field, all identical" << Qt::endl;
        if (present == 0) {
            out << "FAIL no package has the field " << field << ": nothing was compared" << Qt::endl;
            return 1;
        }
    }
    return 0;
}
