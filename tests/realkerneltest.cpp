// SPDX-License-Identifier: GPL-2.0-or-later
// Checks module names and module lookup on Debian's real kernel package, which
// the test fixture unpacks into the cache KIV_TEST_CACHE (or KIV_REAL_KERNEL_MODULES
// names a module tree): real modules are where format strings holding "name=" and
// underscores in file names turn up.
#include "device.h"
#include "modinfosection.h"
#include "modulename.h"
#include "moduletree.h"

#include <QDirIterator>
#include <QProcess>
#include <QTest>

class RealKernelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void gpuModuleNamesAsModinfoReadsThem_data();
    void gpuModuleNamesAsModinfoReadsThem();
    void everyModuleIsFoundByItsName();
    void walkMatchesQDirIterator();

private:
    QString m_root;
};

void RealKernelTest::initTestCase()
{
    m_root = qEnvironmentVariable("KIV_REAL_KERNEL_MODULES");
    if (m_root.isEmpty()) {
        const QDir modules(qEnvironmentVariable("KIV_TEST_CACHE") + QStringLiteral("/linux-image/lib/modules"));
        const QStringList releases = modules.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        m_root = releases.isEmpty() ? QString() : modules.filePath(releases.first());
    }
    QVERIFY2(!m_root.isEmpty() && QFileInfo(m_root + QStringLiteral("/kernel")).isDir(),
             "KIV_REAL_KERNEL_MODULES must name an unpacked module tree (see realkernel/fetch-kernel.sh)");
}

void RealKernelTest::gpuModuleNamesAsModinfoReadsThem_data()
{
    QTest::addColumn<QString>("path");
    QDirIterator it(m_root + QStringLiteral("/kernel/drivers/gpu"), {QStringLiteral("*.ko")}, QDir::Files, QDirIterator::Subdirectories);
    int count = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        QTest::newRow(qPrintable(it.fileName())) << path;
        ++count;
    }
    QVERIFY2(count >= 20, "too few GPU modules in the tree");
}

void RealKernelTest::gpuModuleNamesAsModinfoReadsThem()
{
    QFETCH(QString, path);
    const auto modinfo = [&path](const char *field) {
        QProcess process;
        process.start(QStringLiteral("/usr/sbin/modinfo"), {QStringLiteral("-F"), QLatin1String(field), path});
        process.waitForFinished(30000);
        return process.exitCode() == 0 ? QString::fromLocal8Bit(process.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0) : QStringLiteral("<failed>");
    };
    const QString name = modinfo("name");
    QVERIFY(!name.isEmpty());
    QCOMPARE(Device::displayName(path, QStringLiteral("fallback")), name);
    // The control module shows the version from the same record.
    QCOMPARE(QString::fromLocal8Bit(ModinfoSection::value(path, QByteArrayLiteral("version"))), modinfo("version"));
}

void RealKernelTest::everyModuleIsFoundByItsName()
{
    // Every module file of the tree is found under the kernel's name for it, which
    // spells '-' as '_' (rtsx_pci, hyperv_drm, gma500_gfx and snd-hda-intel alike).
    QDirIterator it(m_root, {QStringLiteral("*.ko")}, QDir::Files, QDirIterator::Subdirectories);
    QStringList names;
    QStringList paths;
    while (it.hasNext()) {
        paths.append(it.next());
        names.append(ModuleName::normalized(it.fileName().chopped(3)));
    }
    QCOMPARE(paths.size(), 4023);
    ModuleTree tree(m_root);
    tree.locate(QSet<QString>(names.cbegin(), names.cend()));
    int underscored = 0;
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(tree.path(names.at(i)), paths.at(i));
        underscored += QFileInfo(paths.at(i)).fileName().contains(QLatin1Char('_')) ? 1 : 0;
    }
    QCOMPARE(underscored, 1437);
    for (const char *name : {"hyperv_drm", "gma500_gfx", "rtsx_pci"}) {
        QVERIFY2(tree.path(QLatin1String(name)).endsWith(QLatin1String(name) + QLatin1String(".ko")), name);
    }
}

void RealKernelTest::walkMatchesQDirIterator()
{
    QHash<QString, QString> expected;
    QDirIterator it(m_root, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().endsWith(QLatin1String(".ko"))) {
            const QString key = ModuleName::normalized(it.fileName().chopped(3));
            if (!expected.contains(key)) {
                expected.insert(key, it.filePath());
            }
        }
    }
    QCOMPARE(ModuleTree(m_root).indexAll(), expected);
}

QTEST_GUILESS_MAIN(RealKernelTest)
#include "realkerneltest.moc"
