// SPDX-License-Identifier: GPL-2.0-or-later
#include "device.h"
#include "modinfosection.h"
#include "modulefile.h"
#include "modulename.h"
#include "moduletree.h"
#include "testfiles.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <elf.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

class ModuleTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void moduleName_data();
    void moduleName();
    void displayName_data();
    void displayName();
    void recordOfMoreThanTwoGigabytes();
    void treeWalksLikeQDirIterator();
    void locateFindsWhatAFullWalkFinds();
    void dashAndUnderscoreAreOneCharacter();
    void depmodIndexDecides();
};

void ModuleTest::moduleName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << QStringLiteral("nouveau") << true;
    QTest::newRow("underscore") << QStringLiteral("nvidia_current") << true;
    QTest::newRow("dash") << QStringLiteral("snd-hda-intel") << true;
    QTest::newRow("leading digits") << QStringLiteral("8021q") << true;
    QTest::newRow("X server version") << QStringLiteral("4") << false;
    QTest::newRow("dotted version") << QStringLiteral("4.3") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("path") << QStringLiteral("../nvidia") << false;
    QTest::newRow("blank") << QStringLiteral("nvidia drm") << false;
    QTest::newRow("newline") << QStringLiteral("nvidia\ninstall nvidia /bin/sh") << false;
    QTest::newRow("quote") << QStringLiteral("nvidia\"") << false;
    QTest::newRow("non-ASCII letter") << QStringLiteral("nvidiä") << false;
    QTest::newRow("longest") << QString(55, QLatin1Char('a')) << true;
    QTest::newRow("too long") << QString(56, QLatin1Char('a')) << false;
}

void ModuleTest::moduleName()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(ModuleName::isValid(name), valid);
}

void ModuleTest::displayName_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("expected");

    QTest::newRow("name record") << TestFiles::module({"license=GPL", "name=nvidia"}) << QStringLiteral("nvidia");
    // Debian's amdgpu.ko: a trace format string with "name=" comes before .modinfo.
    QTest::newRow("format string before the section") << TestFiles::module({"name=amdgpu"}, QByteArray("sched_job=%llu, timeline=%s, name=%s\0", 37))
                                                      << QStringLiteral("amdgpu");
    QTest::newRow("record ending in another key") << TestFiles::module({"alias=pci:v*", "name=vboxvideo=x"}) << QStringLiteral("vboxvideo");
    QTest::newRow("a key that merely ends in name") << TestFiles::module({"srcname=other", "name=real"}) << QStringLiteral("real");
    QTest::newRow("no name record") << TestFiles::module({"license=GPL"}) << QStringLiteral("fallback");
    QTest::newRow("empty name") << TestFiles::module({"name="}) << QStringLiteral("fallback");
    QTest::newRow("name only outside the section") << TestFiles::module({"license=GPL"}, QByteArray("name=decoy\0", 11), false) << QStringLiteral("fallback");
    QTest::newRow("32-bit object") << TestFiles::module32({"name=i810"}) << QStringLiteral("i810");
    QTest::newRow("not an object") << QByteArray("name=text\0", 10) << QStringLiteral("fallback");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("fallback");
    QByteArray truncated = TestFiles::module({"name=cut"});
    truncated.chop(70);
    QTest::newRow("truncated section table") << truncated << QStringLiteral("fallback");
    QByteArray hostile = TestFiles::module({"name=huge"});
    // Point e_shoff far past the end of the file.
    const quint64 farAway = Q_UINT64_C(0xfffffffffffffff0);
    hostile.replace(int(offsetof(Elf64_Ehdr, e_shoff)), int(sizeof(farAway)), reinterpret_cast<const char *>(&farAway), int(sizeof(farAway)));
    QTest::newRow("section table beyond the file") << hostile << QStringLiteral("fallback");
}

void ModuleTest::displayName()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("m.ko"));
    QVERIFY(TestFiles::write(path, file));
    QCOMPARE(Device::displayName(path, QStringLiteral("fallback")), expected);
    QCOMPARE(Device::displayName(dir.filePath(QStringLiteral("missing.ko")), QStringLiteral("fallback")), QStringLiteral("fallback"));
    // Opening a FIFO for reading waits for a writer: a listing must not hang on one.
    const QString fifo = dir.filePath(QStringLiteral("fifo.ko"));
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(Device::displayName(fifo, QStringLiteral("fallback")), QStringLiteral("fallback"));
}

void ModuleTest::recordOfMoreThanTwoGigabytes()
{
    // A name record longer than an int can count must neither crash nor be taken.
    struct statvfs space;
    if (statvfs("/dev/shm", &space) != 0 || quint64(space.f_bavail) * space.f_frsize < Q_UINT64_C(3) << 30) {
        QSKIP("needs 3 GiB free in /dev/shm");
    }
    QTemporaryDir dir(QStringLiteral("/dev/shm/moduletest-XXXXXX"));
    QByteArray object = TestFiles::module({"license=GPL"});
    // The .modinfo section (the second after the null one) now starts past the
    // object, at a record of 2 GiB and more without an ending NUL.
    const quint64 recordLength = (Q_UINT64_C(1) << 31) + 16;
    Elf64_Ehdr header;
    std::memcpy(&header, object.constData(), sizeof(header));
    const int modinfo = int(header.e_shoff + 2 * sizeof(Elf64_Shdr));
    const quint64 offset = quint64(object.size());
    object.replace(modinfo + int(offsetof(Elf64_Shdr, sh_offset)), 8, reinterpret_cast<const char *>(&offset), 8);
    object.replace(modinfo + int(offsetof(Elf64_Shdr, sh_size)), 8, reinterpret_cast<const char *>(&recordLength), 8);
    object += "name=";
    const QString path = dir.filePath(QStringLiteral("huge.ko"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(object), qint64(object.size()));
    const QByteArray chunk(1 << 20, 'a');
    for (quint64 written = 5; written < recordLength; written += quint64(chunk.size())) {
        QCOMPARE(file.write(chunk.constData(), qint64(qMin(quint64(chunk.size()), recordLength - written))),
                 qint64(qMin(quint64(chunk.size()), recordLength - written)));
    }
    file.close();
    QVERIFY(ModinfoSection::value(path, QByteArrayLiteral("name")).isNull());
    QCOMPARE(Device::displayName(path, QStringLiteral("fallback")), QStringLiteral("fallback"));
    QVERIFY(file.remove());
}

namespace
{
// A tree with everything that makes walk order matter: the same module in
// several directories, links to directories (one looping back up), a link to a
// directory reached before, a dangling link, hidden entries, compressed files.
void buildTree(const QString &root)
{
    const auto file = [&root](const QString &path) {
        QVERIFY(TestFiles::write(root + QLatin1Char('/') + path, QByteArray("x")));
    };
    file(QStringLiteral("kernel/drivers/gpu/drm/nouveau/nouveau.ko"));
    file(QStringLiteral("kernel/drivers/gpu/drm/i915/i915.ko"));
    file(QStringLiteral("kernel/drivers/gpu/drm/amd/amdgpu/amdgpu.ko.xz"));
    file(QStringLiteral("kernel/drivers/gpu/drm/hyperv/hyperv_drm.ko"));
    file(QStringLiteral("kernel/sound/pci/hda/snd-hda-intel.ko"));
    file(QStringLiteral("updates/dkms/nvidia-current.ko"));
    file(QStringLiteral("updates/dkms/nouveau.ko"));
    file(QStringLiteral("extra/i915.ko"));
    file(QStringLiteral(".hidden/secret.ko"));
    file(QStringLiteral("kernel/.cache.ko"));
    QVERIFY(QFile::link(QStringLiteral("../kernel"), root + QStringLiteral("/updates/loop")));
    QVERIFY(QFile::link(root + QStringLiteral("/updates/dkms"), root + QStringLiteral("/dkms-again")));
    QVERIFY(QFile::link(QStringLiteral("missing.ko"), root + QStringLiteral("/extra/dangling.ko")));
    QVERIFY(QFile::link(QStringLiteral("../extra/i915.ko"), root + QStringLiteral("/kernel/linked.ko")));
}

QHash<QString, QString> qDirIteratorIndex(const QString &root)
{
    QHash<QString, QString> index;
    QDirIterator it(root, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        it.next();
        const QString name = ModuleFile::moduleNameOf(it.fileName());
        if (!name.isEmpty()) {
            const QString key = ModuleName::normalized(name);
            if (!index.contains(key)) {
                index.insert(key, it.filePath());
            }
        }
    }
    return index;
}
}

void ModuleTest::treeWalksLikeQDirIterator()
{
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath() + QStringLiteral("/modules");
    buildTree(root);
    const QHash<QString, QString> expected = qDirIteratorIndex(root);
    QVERIFY(expected.contains(QStringLiteral("nouveau")));
    QVERIFY(!expected.contains(QStringLiteral("dangling")));
    QVERIFY(!expected.contains(QStringLiteral("secret")));
    QCOMPARE(ModuleTree(root).indexAll(), expected);
}

void ModuleTest::locateFindsWhatAFullWalkFinds()
{
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath() + QStringLiteral("/modules");
    buildTree(root);
    const QHash<QString, QString> all = ModuleTree(root).indexAll();

    ModuleTree tree(root);
    tree.locate({QStringLiteral("nouveau"), QStringLiteral("i915"), QStringLiteral("no_such_module")});
    QCOMPARE(tree.path(QStringLiteral("nouveau")), all.value(QStringLiteral("nouveau")));
    QCOMPARE(tree.path(QStringLiteral("i915")), all.value(QStringLiteral("i915")));
    QCOMPARE(tree.path(QStringLiteral("no_such_module")), QString());
    // Not located beforehand: found by a walk of its own, which meets the file
    // under one of its two names as the file system orders them.
    QCOMPARE(tree.path(QStringLiteral("nvidia_current")), all.value(QStringLiteral("nvidia_current")));
    QVERIFY(all.value(QStringLiteral("nvidia_current")).endsWith(QStringLiteral("/nvidia-current.ko")));
    // Compressed modules as well, as kmod finds them.
    QCOMPARE(tree.path(QStringLiteral("amdgpu")), all.value(QStringLiteral("amdgpu")));
    QVERIFY(all.value(QStringLiteral("amdgpu")).endsWith(QStringLiteral("/drivers/gpu/drm/amd/amdgpu/amdgpu.ko.xz")));
    QCOMPARE(ModuleTree(dir.filePath(QStringLiteral("missing"))).path(QStringLiteral("nouveau")), QString());
}

void ModuleTest::dashAndUnderscoreAreOneCharacter()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    buildTree(root);
    // The kernel's directory is also reached through a link: either name is the file.
    const QHash<QString, QString> walked = qDirIteratorIndex(root);
    ModuleTree tree(root);
    QCOMPARE(tree.path(QStringLiteral("hyperv_drm")), walked.value(QStringLiteral("hyperv_drm")));
    QCOMPARE(tree.path(QStringLiteral("hyperv-drm")), walked.value(QStringLiteral("hyperv_drm")));
    QVERIFY(walked.value(QStringLiteral("hyperv_drm")).endsWith(QStringLiteral("/drivers/gpu/drm/hyperv/hyperv_drm.ko")));
    QCOMPARE(tree.path(QStringLiteral("snd_hda_intel")), walked.value(QStringLiteral("snd_hda_intel")));
    QVERIFY(walked.value(QStringLiteral("snd_hda_intel")).endsWith(QStringLiteral("/sound/pci/hda/snd-hda-intel.ko")));
}

void ModuleTest::depmodIndexDecides()
{
    // depmod wrote one path a name, in its search order, whatever the walk meets
    // first; a module it did not index cannot be loaded by name either.
    QTemporaryDir dir;
    const QString root = dir.path();
    buildTree(root);
    QVERIFY(TestFiles::write(root + QStringLiteral("/modules.dep"),
                             "updates/dkms/nouveau.ko: kernel/drivers/gpu/drm/drm.ko\n"
                             "no colon on this line\n"
                             ": an empty path\n"
                             "kernel/drivers/gpu/drm/amd/amdgpu/amdgpu.ko.xz:\n"
                             "kernel/README: not a module\n"
                             "kernel/drivers/gpu/drm/nouveau/nouveau.ko:\n"
                                 + QFile::encodeName(root)
                                 + "/extra/i915.ko: kernel/drm.ko\n"
                                   "kernel/drivers/gpu/drm/hyperv/hyperv_drm.ko:"));
    ModuleTree tree(root);
    tree.locate({QStringLiteral("nouveau"), QStringLiteral("i915")});
    QCOMPARE(tree.path(QStringLiteral("nouveau")), root + QStringLiteral("/updates/dkms/nouveau.ko"));
    QCOMPARE(tree.path(QStringLiteral("i915")), root + QStringLiteral("/extra/i915.ko"));
    QCOMPARE(tree.path(QStringLiteral("amdgpu")), root + QStringLiteral("/kernel/drivers/gpu/drm/amd/amdgpu/amdgpu.ko.xz"));
    QCOMPARE(tree.path(QStringLiteral("hyperv-drm")), root + QStringLiteral("/kernel/drivers/gpu/drm/hyperv/hyperv_drm.ko"));
    QCOMPARE(tree.path(QStringLiteral("snd_hda_intel")), QString());
    QCOMPARE(tree.path(QStringLiteral("README")), QString());
    // The walk itself still sees the whole tree.
    QVERIFY(!tree.indexAll().value(QStringLiteral("snd_hda_intel")).isEmpty());
    // An empty index, as an interrupted depmod leaves it, names nothing: walked.
    QVERIFY(TestFiles::write(root + QStringLiteral("/modules.dep"), QByteArray()));
    QCOMPARE(ModuleTree(root).path(QStringLiteral("snd_hda_intel")), qDirIteratorIndex(root).value(QStringLiteral("snd_hda_intel")));
}

QTEST_GUILESS_MAIN(ModuleTest)
#include "moduletest.moc"
