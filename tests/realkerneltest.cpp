// SPDX-License-Identifier: GPL-2.0-or-later
// Checks module names and module lookup on Debian's real kernel package, which
// the test fixture unpacks into the cache KIV_TEST_CACHE (or KIV_REAL_KERNEL_MODULES
// names a module tree): real modules are where format strings holding "name=" and
// underscores in file names turn up.
#include "device.h"
#include "modinfosection.h"
#include "modulename.h"
#include "modulesignature.h"
#include "moduletree.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>

Q_DECLARE_METATYPE(ModuleSignature::Status)

class RealKernelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void gpuModuleNamesAsModinfoReadsThem_data();
    void gpuModuleNamesAsModinfoReadsThem();
    void everyModuleIsFoundByItsName();
    void walkMatchesQDirIterator();
    void cutOrCraftedSignatures_data();
    void cutOrCraftedSignatures();

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
    // Debian signs every module of its kernel package; the signer and key as
    // modinfo (kmod, through OpenSSL) reads them from the PKCS#7 signature.
    const ModuleSignature signature = ModuleSignature::read(path);
    QCOMPARE(signature.status, ModuleSignature::Status::Signed);
    QCOMPARE(signature.signer, modinfo("signer"));
    QCOMPARE(signature.sigKey(), modinfo("sig_key"));
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

void RealKernelTest::cutOrCraftedSignatures_data()
{
    // A real module's end: PKCS#7 signature, 12 bytes of struct module_signature
    // (the signature's length last, big-endian) and the marker.
    QFile module(m_root + QStringLiteral("/kernel/drivers/gpu/drm/nouveau/nouveau.ko"));
    QVERIFY(module.open(QIODevice::ReadOnly));
    const QByteArray whole = module.readAll();
    constexpr int trailer = 40;
    const quint32 length = qFromBigEndian<quint32>(whole.constData() + whole.size() - trailer + 8);
    const int signatureStart = whole.size() - trailer - int(length);
    const auto withLength = [&whole](quint32 value) {
        QByteArray changed = whole;
        qToBigEndian(value, changed.data() + changed.size() - trailer + 8);
        return changed;
    };
    QByteArray otherIdType = whole;
    otherIdType[whole.size() - trailer + 2] = 1;
    QByteArray longerContent = whole;
    longerContent[signatureStart + 1] = char(0x84); // a four-byte length of 0x82xxxxxx...
    QByteArray indefinite = whole;
    indefinite[signatureStart + 1] = char(0x80);
    QByteArray otherContentType = whole;
    otherContentType[signatureStart + 14] = char(otherContentType.at(signatureStart + 14) ^ 1); // the last byte of the content type

    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<ModuleSignature::Status>("status");
    QTest::newRow("whole") << whole << ModuleSignature::Status::Signed;
    QTest::newRow("empty file") << QByteArray() << ModuleSignature::Status::Unsigned;
    QTest::newRow("marker alone") << whole.right(28) << ModuleSignature::Status::Unsigned;
    QTest::newRow("trailer alone") << whole.right(trailer) << ModuleSignature::Status::Unreadable;
    QTest::newRow("cut before the marker's end") << whole.chopped(1) << ModuleSignature::Status::Unsigned;
    QTest::newRow("signature cut at its start") << whole.mid(signatureStart + 1) << ModuleSignature::Status::Unreadable;
    QTest::newRow("length one byte longer") << withLength(length + 1) << ModuleSignature::Status::Unreadable;
    QTest::newRow("length one byte shorter") << withLength(length - 1) << ModuleSignature::Status::Unreadable;
    QTest::newRow("length zero") << withLength(0) << ModuleSignature::Status::Unreadable;
    QTest::newRow("length past the file") << withLength(quint32(whole.size())) << ModuleSignature::Status::Unreadable;
    QTest::newRow("length 4 GiB - 1") << withLength(0xffffffff) << ModuleSignature::Status::Unreadable;
    QTest::newRow("not PKCS#7") << otherIdType << ModuleSignature::Status::Unreadable;
    QTest::newRow("DER length past the signature") << longerContent << ModuleSignature::Status::Unreadable;
    QTest::newRow("BER indefinite length") << indefinite << ModuleSignature::Status::Unreadable;
    QTest::newRow("not SignedData") << otherContentType << ModuleSignature::Status::Unreadable;
}

void RealKernelTest::cutOrCraftedSignatures()
{
    QFETCH(QByteArray, content);
    QFETCH(ModuleSignature::Status, status);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("module.ko")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    const ModuleSignature signature = ModuleSignature::read(file.fileName());
    QCOMPARE(signature.status, status);
    if (status == ModuleSignature::Status::Signed) {
        QCOMPARE(signature.signer, QStringLiteral("Build time autogenerated kernel key"));
    } else {
        QVERIFY(signature.key.isNull() && signature.signer.isEmpty());
    }
}

QTEST_GUILESS_MAIN(RealKernelTest)
#include "realkerneltest.moc"
