// SPDX-License-Identifier: GPL-2.0-or-later
// Checks module names and module lookup on Debian's real kernel package, which
// the test fixture unpacks into the cache KIV_TEST_CACHE (or KIV_REAL_KERNEL_MODULES
// names a module tree): real modules are where format strings holding "name=" and
// underscores in file names turn up.
#include "device.h"
#include "modinfosection.h"
#include "modulefile.h"
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
    void compressedModules_data();
    void compressedModules();

private:
    // Every module file name pattern kmod knows.
    static QStringList patterns();
    // The decompressed module of the tree at relative (without its ending).
    QByteArray image(const QString &relative);

    QString m_root;
};

QStringList RealKernelTest::patterns()
{
    QStringList patterns;
    for (const QString &suffix : ModuleFile::suffixes()) {
        patterns.append(QLatin1Char('*') + suffix);
    }
    return patterns;
}

// What a compression tool makes of input (or, with no arguments given, what it
// says); empty when it fails.
static QByteArray run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray();
}

QByteArray RealKernelTest::image(const QString &relative)
{
    QFile plain(m_root + relative + QStringLiteral(".ko"));
    if (plain.open(QIODevice::ReadOnly)) {
        return plain.readAll();
    }
    QFile xz(m_root + relative + QStringLiteral(".ko.xz"));
    return xz.open(QIODevice::ReadOnly) ? run(QStringLiteral("xz"), {QStringLiteral("-dc")}, xz.readAll()) : QByteArray();
}

void RealKernelTest::initTestCase()
{
    m_root = qEnvironmentVariable("KIV_REAL_KERNEL_MODULES");
    if (m_root.isEmpty()) {
        // Debian 12's package holds /lib/modules, Debian 13's /usr/lib/modules only.
        const QString image =
            qEnvironmentVariable("KIV_TEST_CACHE") + QLatin1Char('/') + qEnvironmentVariable("KIV_REAL_KERNEL", QStringLiteral("linux-image"));
        for (const QString &under : {QStringLiteral("/lib/modules"), QStringLiteral("/usr/lib/modules")}) {
            const QDir modules(image + under);
            const QStringList releases = modules.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            if (!releases.isEmpty()) {
                m_root = modules.filePath(releases.first());
                break;
            }
        }
    }
    QVERIFY2(!m_root.isEmpty() && QFileInfo(m_root + QStringLiteral("/kernel")).isDir(),
             "KIV_REAL_KERNEL_MODULES must name an unpacked module tree (see realkernel/fetch-kernel.sh)");
}

void RealKernelTest::gpuModuleNamesAsModinfoReadsThem_data()
{
    QTest::addColumn<QString>("path");
    QDirIterator it(m_root + QStringLiteral("/kernel/drivers/gpu"), patterns(), QDir::Files, QDirIterator::Subdirectories);
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
    QDirIterator it(m_root, patterns(), QDir::Files, QDirIterator::Subdirectories);
    QStringList names;
    QStringList paths;
    while (it.hasNext()) {
        paths.append(it.next());
        names.append(ModuleName::normalized(ModuleFile::moduleNameOf(it.fileName())));
    }
    // Debian 12's 6.1 has 4023 modules, Debian 13's 6.12 4230.
    QVERIFY2(paths.size() > 4000, qPrintable(QString::number(paths.size())));
    ModuleTree tree(m_root);
    tree.locate(QSet<QString>(names.cbegin(), names.cend()));
    int underscored = 0;
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(tree.path(names.at(i)), paths.at(i));
        underscored += QFileInfo(paths.at(i)).fileName().contains(QLatin1Char('_')) ? 1 : 0;
    }
    QVERIFY2(underscored > 1400, qPrintable(QString::number(underscored)));
    for (const char *name : {"hyperv_drm", "gma500_gfx", "rtsx_pci"}) {
        QVERIFY2(ModuleFile::moduleNameOf(QFileInfo(tree.path(QLatin1String(name))).fileName()) == QLatin1String(name), name);
    }
}

void RealKernelTest::walkMatchesQDirIterator()
{
    QHash<QString, QString> expected;
    QDirIterator it(m_root, QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        it.next();
        const QString name = ModuleFile::moduleNameOf(it.fileName());
        if (!name.isEmpty()) {
            const QString key = ModuleName::normalized(name);
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
    const QByteArray whole = image(QStringLiteral("/kernel/drivers/gpu/drm/nouveau/nouveau"));
    QVERIFY(!whole.isEmpty());
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

void RealKernelTest::compressedModules_data()
{
    // nouveau compressed as kernel builds do: xz as Debian 13's (blocks of 3 MiB
    // and an index), zstd as Ubuntu's, gzip; then cut, damaged or oversized.
    const QByteArray whole = image(QStringLiteral("/kernel/drivers/gpu/drm/nouveau/nouveau"));
    QVERIFY(whole.size() > 4 * 1024 * 1024);
    const QByteArray xz =
        run(QStringLiteral("xz"), {QStringLiteral("--check=crc32"), QStringLiteral("--lzma2=dict=1MiB"), QStringLiteral("-T2"), QStringLiteral("-c")}, whole);
    const QByteArray xzOneBlock = run(QStringLiteral("xz"), {QStringLiteral("--check=crc32"), QStringLiteral("-T1"), QStringLiteral("-c")}, whole);
    const QByteArray zstd = run(QStringLiteral("zstd"), {QStringLiteral("-q"), QStringLiteral("-T0"), QStringLiteral("-c")}, whole);
    const QByteArray gzip = run(QStringLiteral("gzip"), {QStringLiteral("-n"), QStringLiteral("-c")}, whole);
    QVERIFY(!xz.isEmpty() && !xzOneBlock.isEmpty() && !zstd.isEmpty() && !gzip.isEmpty());
    // An image larger than any module may be: 300 MiB of zeros, whose size the
    // xz index and the zstd frame header state, and a gzip stream that does not.
    const QByteArray zeros(300 * 1024 * 1024, '\0');
    const QByteArray hugeXz = run(QStringLiteral("xz"), {QStringLiteral("-0"), QStringLiteral("-T2"), QStringLiteral("-c")}, zeros);
    QTemporaryDir dir;
    QFile zeroFile(dir.filePath(QStringLiteral("zeros")));
    QVERIFY(zeroFile.open(QIODevice::WriteOnly) && zeroFile.write(zeros) == zeros.size());
    zeroFile.close();
    const QByteArray hugeZstd = run(QStringLiteral("zstd"), {QStringLiteral("-q"), QStringLiteral("-c"), zeroFile.fileName()}, QByteArray());
    const QByteArray hugeGzip = run(QStringLiteral("gzip"), {QStringLiteral("-1"), QStringLiteral("-c")}, zeros);
    QVERIFY(!hugeXz.isEmpty() && !hugeZstd.isEmpty() && !hugeGzip.isEmpty());
    const auto flipped = [](QByteArray bytes, int at) {
        bytes[at] = char(bytes.at(at) ^ 0x55);
        return bytes;
    };
    // Where xz says the last block's check lies: its CRC32, just before the index.
    const auto lastCheck = [&dir](const QByteArray &compressed) {
        QFile file(dir.filePath(QStringLiteral("blocks.xz")));
        file.open(QIODevice::WriteOnly);
        file.write(compressed);
        file.close();
        const QByteArray list =
            run(QStringLiteral("xz"), {QStringLiteral("--robot"), QStringLiteral("--list"), QStringLiteral("-vv"), file.fileName()}, QByteArray());
        qint64 end = -1;
        for (const QByteArray &line : list.split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.value(0) == "block" && fields.size() > 6) {
                end = fields.at(4).toLongLong() + fields.at(6).toLongLong(); // compressed offset + total size
            }
        }
        return int(end - 4);
    };
    const int check = lastCheck(xz);
    QVERIFY(check > xz.size() / 2);

    using S = ModuleSignature::Status;
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::addColumn<ModuleSignature::Status>("status");
    const QString nouveau = QStringLiteral("nouveau");
    const QString fallback = QStringLiteral("fallback");
    QTest::newRow("xz in blocks") << QStringLiteral("nouveau.ko.xz") << xz << nouveau << S::Signed;
    QTest::newRow("xz in one block") << QStringLiteral("nouveau.ko.xz") << xzOneBlock << nouveau << S::Signed;
    QTest::newRow("zstd") << QStringLiteral("nouveau.ko.zst") << zstd << nouveau << S::Signed;
    QTest::newRow("gzip") << QStringLiteral("nouveau.ko.gz") << gzip << nouveau << S::Signed;
    QTest::newRow("zstd named .ko.xz: the magic decides") << QStringLiteral("nouveau.ko.xz") << zstd << nouveau << S::Signed;
    QTest::newRow("xz cut in half") << QStringLiteral("nouveau.ko.xz") << xz.left(xz.size() / 2) << fallback << S::Damaged;
    QTest::newRow("xz without its last byte") << QStringLiteral("nouveau.ko.xz") << xz.chopped(1) << fallback << S::Damaged;
    // The name lies before the check, which only a read to the block's end (the
    // signature's) verifies.
    QTest::newRow("xz, the last block's check damaged") << QStringLiteral("nouveau.ko.xz") << flipped(xz, check + 1) << nouveau << S::Damaged;
    QTest::newRow("gzip with zeros after it, as gzread reads it") << QStringLiteral("nouveau.ko.gz") << gzip + QByteArray(512, '\0') << nouveau << S::Signed;
    QTest::newRow("xz index damaged") << QStringLiteral("nouveau.ko.xz") << flipped(xz, xz.size() - 20) << fallback << S::Damaged;
    QTest::newRow("xz magic alone") << QStringLiteral("nouveau.ko.xz") << xz.left(6) << fallback << S::Damaged;
    QTest::newRow("zstd cut in half") << QStringLiteral("nouveau.ko.zst") << zstd.left(zstd.size() / 2) << fallback << S::Damaged;
    QTest::newRow("zstd without its last byte") << QStringLiteral("nouveau.ko.zst") << zstd.chopped(1) << fallback << S::Damaged;
    QTest::newRow("zstd damaged near its end") << QStringLiteral("nouveau.ko.zst") << flipped(zstd, zstd.size() - 100) << fallback << S::Damaged;
    QTest::newRow("gzip cut in half") << QStringLiteral("nouveau.ko.gz") << gzip.left(gzip.size() / 2) << fallback << S::Damaged;
    QTest::newRow("gzip damaged near its end") << QStringLiteral("nouveau.ko.gz") << flipped(gzip, gzip.size() - 100) << fallback << S::Damaged;
    QTest::newRow("xz of 300 MiB") << QStringLiteral("nouveau.ko.xz") << hugeXz << fallback << S::Damaged;
    QTest::newRow("zstd of 300 MiB") << QStringLiteral("nouveau.ko.zst") << hugeZstd << fallback << S::Damaged;
    QTest::newRow("gzip of 300 MiB") << QStringLiteral("nouveau.ko.gz") << hugeGzip << fallback << S::Damaged;
    QTest::newRow("empty .ko.zst") << QStringLiteral("nouveau.ko.zst") << QByteArray() << fallback << S::Unsigned;
}

void RealKernelTest::compressedModules()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QFETCH(ModuleSignature::Status, status);
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    // The tree finds the file under its module name.
    ModuleTree tree(dir.path());
    QCOMPARE(tree.path(QStringLiteral("nouveau")), path);
    QCOMPARE(Device::displayName(path, QStringLiteral("fallback")), name);
    const ModuleSignature signature = ModuleSignature::read(path);
    QCOMPARE(signature.status, status);
    if (status == ModuleSignature::Status::Signed) {
        // As from the plain module, which modinfo read above.
        QCOMPARE(signature.signer, QStringLiteral("Build time autogenerated kernel key"));
        QVERIFY(!ModinfoSection::value(path, QByteArrayLiteral("vermagic")).isEmpty());
    }
}

QTEST_GUILESS_MAIN(RealKernelTest)
#include "realkerneltest.moc"
