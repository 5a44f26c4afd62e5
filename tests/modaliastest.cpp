// SPDX-License-Identifier: GPL-2.0-or-later
#include "modalias.h"
#include "appstreammodaliases.h"
#include "nvidialists.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <unistd.h>

class ModaliasTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matching_data();
    void matching();
    void realPackages_data();
    void realPackages();
    void sameResultsAsPlainExpressions();
    void appStreamPatterns_data();
    void appStreamPatterns();
    void appStreamCatalogues_data();
    void appStreamCatalogues();
    void appStreamCache();
    void nvidiaLists();
};

namespace
{
// The "Modaliases" field of a real package stanza kept in the test data.
QString fieldOf(const QString &fixture)
{
    QFile file(QFINDTESTDATA(QStringLiteral("data/modaliases/") + fixture));
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Modaliases: ")) {
            return QString::fromUtf8(line.mid(12));
        }
    }
    return QString();
}

const QString gtx1650 = QStringLiteral("pci:v000010DEd00001F91sv0000103Csd000086D5bc03sc00i00");
}

void ModaliasTest::matching_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("modalias");
    QTest::addColumn<bool>("expected");
    const QString rtx = QStringLiteral("pci:v000010DEd00001E04sv00001043sd00008672bc03sc00i00");
    QTest::newRow("wildcards") << QStringLiteral("nvidia(pci:v000010DEd00001E04sv*sd*bc03sc*i*)") << rtx << true;
    QTest::newRow("second pattern") << QStringLiteral("nvidia(pci:v000010DEd00001B80sv*sd*bc03sc*i*, pci:v000010DEd00001E04sv*sd*bc03sc*i*)") << rtx << true;
    QTest::newRow("no pattern matches") << QStringLiteral("nvidia(pci:v000010DEd00001B80sv*sd*bc03sc*i*)") << rtx << false;
    QTest::newRow("empty field") << QString() << rtx << false;
    QTest::newRow("star needs a character") << QStringLiteral("nvidia(pci:v000010DEd00001E04sv00001043sd00008672bc03sc00i00*)") << rtx << false;
    QTest::newRow("case matters") << QStringLiteral("nvidia(pci:v000010ded00001e04sv*sd*bc03sc*i*)") << rtx << false;
    QTest::newRow("anywhere inside") << QStringLiteral("nvidia(d00001E04)") << rtx << true;
    QTest::newRow("empty pattern matches all") << QStringLiteral("nvidia()") << rtx << true;
    QTest::newRow("later module keeps its name") << QStringLiteral("vboxguest(pci:v000080EEd0000CAFE*), nvidia(pci:v000010DEd00001E04*)") << rtx << false;
    QTest::newRow("invalid expression") << QStringLiteral("nvidia(pci:v[0010DE*)") << rtx << false;
    QTest::newRow("no brackets") << QStringLiteral("pci:v000010DEd00001E04*") << rtx << true;
    QTest::newRow("unclosed bracket") << QStringLiteral("nvidia(pci:v000010DEd00001E04*") << rtx << true;
    QTest::newRow("leading star needs a character") << QStringLiteral("nvidia(*pci:v000010DE*)") << rtx << false;
    QTest::newRow("two stars, two characters") << QStringLiteral("nvidia(d00001E04**8672)") << rtx << true;
    // As in the expression, where "." stands for anything but a line break.
    QTest::newRow("star never spans a line break") << QStringLiteral("nvidia(pci:*sd00008672)") << QStringLiteral("pci:v000010DE\nsd00008672") << false;
    // A long line ahead costs the expression millions of steps; the bound must not
    // turn the match on the next line into "no match".
    QTest::newRow("match on a later line") << QStringLiteral("nvidia(*****1)") << QString(QString(60, QLatin1Char('V')) + QStringLiteral("\npci:v1111d1"))
                                           << true;
    QTest::newRow("expression syntax kept") << QStringLiteral("nvidia(v0000(10DE|1002)d*)") << rtx << true;
    // Backtracking without end on every package and GPU: bounded, and no match.
    QStringList hostile;
    for (int i = 0; i < 2000; ++i) {
        hostile.append(QStringLiteral("v(\\w|\\w)+(?!)"));
    }
    QTest::newRow("crafted backtracking") << QStringLiteral("x(") + hostile.join(QStringLiteral(", ")) + QLatin1Char(')') << rtx << false;
}

void ModaliasTest::matching()
{
    QFETCH(QString, field);
    QFETCH(QString, modalias);
    QFETCH(bool, expected);
    QCOMPARE(containsModalias(field, modalias), expected);
}

void ModaliasTest::realPackages_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QString>("modalias");
    QTest::addColumn<bool>("expected");
    const QString nvidia470 = QStringLiteral("ubuntu-focal-security-restricted__nvidia-driver-470_470.86-0ubuntu0.20.04.2.txt");
    const QString nvidia390 = QStringLiteral("ubuntu-bionic-restricted__nvidia-driver-390_390.48-0ubuntu3.txt");
    const QString nvidia340 = QStringLiteral("ubuntu-bionic-restricted__nvidia-340_340.106-0ubuntu3.txt");
    const QString vmware = QStringLiteral("ubuntu-focal-main__open-vm-tools-desktop_2%3a11.0.5-4.txt");
    const QString vbox = QStringLiteral("ubuntu-bionic-multiverse__virtualbox-guest-x11_5.2.10-dfsg-6.txt");
    // Real modaliases of GPUs, from the fixtures.
    const QString gt430 = QStringLiteral("pci:v000010DEd00000DE1sv00001043sd000083B8bc03sc00i00");
    const QString picasso = QStringLiteral("pci:v00001002d000015D8sv0000103Csd000086D5bc03sc00i00");
    const QString vboxGpu = QStringLiteral("pci:v000080EEd0000BEEFsv00000000sd00000000bc03sc00i00");
    const QString svga = QStringLiteral("pci:v000015ADd00000405sv000015ADsd00000405bc03sc00i00");
    QTest::newRow("470 covers the GTX 1650 Mobile") << nvidia470 << gtx1650 << true;
    QTest::newRow("470 dropped Fermi") << nvidia470 << gt430 << false;
    QTest::newRow("390 covers Fermi") << nvidia390 << gt430 << true;
    QTest::newRow("390 predates Turing") << nvidia390 << gtx1650 << false;
    QTest::newRow("340 covers Fermi") << nvidia340 << gt430 << true;
    QTest::newRow("NVIDIA never covers AMD") << nvidia470 << picasso << false;
    QTest::newRow("VMware SVGA") << vmware << svga << true;
    QTest::newRow("VirtualBox adapter") << vbox << vboxGpu << true;
    QTest::newRow("VirtualBox package, VMware GPU") << vbox << svga << false;
}

void ModaliasTest::realPackages()
{
    QFETCH(QString, fixture);
    QFETCH(QString, modalias);
    QFETCH(bool, expected);
    const QString field = fieldOf(fixture);
    QVERIFY(!field.isEmpty());
    QCOMPARE(containsModalias(field, modalias), expected);
}

void ModaliasTest::sameResultsAsPlainExpressions()
{
    // Patterns of real fields are matched without regular expressions: every real
    // field must give what the plain expression ("*" as ".+") gives, for every real GPU.
    const auto plainExpressions = [](QString field) {
        field.remove(0, field.indexOf(QLatin1Char('(')) + 1);
        field.remove(field.indexOf(QLatin1Char(')')), 1);
        QList<QRegularExpression> expressions;
        for (QString pattern : field.split(QStringLiteral(", "))) {
            expressions.append(QRegularExpression(pattern.replace(QLatin1Char('*'), QLatin1String(".+"))));
        }
        return expressions;
    };
    QStringList modaliases;
    QFile gpus(QFINDTESTDATA(QStringLiteral("data/gpu-modaliases.tsv")));
    QVERIFY(gpus.open(QIODevice::ReadOnly));
    for (const QByteArray &line : gpus.readAll().split('\n')) {
        if (line.startsWith("pci:")) {
            modaliases.append(QString::fromLatin1(line.left(line.indexOf('\t'))));
        }
    }
    const QStringList fixtures = QDir(QFINDTESTDATA(QStringLiteral("data/modaliases"))).entryList({QStringLiteral("*.txt")});
    QVERIFY(fixtures.size() > 80 && modaliases.size() > 20);
    int matches = 0;
    for (const QString &fixture : fixtures) {
        const QString field = fieldOf(fixture);
        const QList<QRegularExpression> expressions = plainExpressions(field);
        for (const QString &modalias : std::as_const(modaliases)) {
            const bool expected = std::any_of(expressions.cbegin(), expressions.cend(), [&modalias](const QRegularExpression &expression) {
                return expression.match(modalias).hasMatch();
            });
            QVERIFY2(containsModalias(field, modalias) == expected, qPrintable(fixture + QLatin1Char(' ') + modalias));
            matches += expected ? 1 : 0;
        }
    }
    QVERIFY(matches > 0);
}

void ModaliasTest::appStreamPatterns_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("modalias");
    QTest::addColumn<bool>("matches");
    const QString navi = QStringLiteral("pci:v00001002d000073FFsv00001DA2sd0000E445bc03sc00i00");
    // firmware-amd-graphics's pattern, ending in "*" that stands for nothing.
    QTest::newRow("trailing star, empty") << QStringLiteral("pci:v00001002d*sv*sd*bc03sc00i00*") << navi << true;
    QTest::newRow("whole modalias, not a part") << QStringLiteral("v00001002d*") << navi << false;
    QTest::newRow("case counts") << QStringLiteral("pci:v00001002d000073ffsv*") << navi << false;
    QTest::newRow("other class") << QStringLiteral("pci:v00001002d*sv*sd*bc03sc80i00*") << navi << false;
    QTest::newRow("bracket range") << QStringLiteral("pci:v00001002d000073F[A-F]sv*") << navi << true;
    QTest::newRow("bracket set, not in it") << QStringLiteral("pci:v00001002d000073F[0-9]sv*") << navi << false;
    QTest::newRow("negated bracket") << QStringLiteral("pci:v00001002d000073F[!0-9]sv*") << navi << true;
    QTest::newRow("question marks") << QStringLiteral("pci:v00001002d000073??sv*") << navi << true;
    QTest::newRow("a bracket that never closes is itself") << QStringLiteral("pci:v[0*") << navi << false;
    QTest::newRow("empty pattern") << QString() << navi << false;
    QTest::newRow("star alone") << QStringLiteral("*") << navi << true;
    // Many stars and a text that almost matches: the work stays linear in each.
    QTest::newRow("stars that cannot match") << QString(QStringLiteral("*0")).repeated(40) + QStringLiteral("Z") << navi << false;
    QTest::newRow("a pattern of a million characters") << QString(1000000, QLatin1Char('*')) + QStringLiteral("i00") << navi << false;
}

void ModaliasTest::appStreamPatterns()
{
    QFETCH(QString, pattern);
    QFETCH(QString, modalias);
    QFETCH(bool, matches);
    QCOMPARE(AppStreamModaliases::patternMatches(pattern, modalias), matches);
}

void ModaliasTest::appStreamCatalogues_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("components"); // -1: some, fewer than the whole file's 16
    QTest::addColumn<int>("amdPatterns"); // of firmware-amd-graphics, 0 for none, -1 not looked at
    const QString real = QFINDTESTDATA("data/dep11/debian-bookworm-non-free-firmware_Components-amd64.yml.gz");
    QFile file(real);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray gz = file.readAll();
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    const auto written = [&dir](const char *name, const QByteArray &content) {
        const QString path = dir.filePath(QLatin1String(name));
        return TestFiles::write(path, content) ? path : QString();
    };
    QTest::newRow("Debian 12's non-free-firmware") << real << 16 << 856;
    QTest::newRow("Debian 13's non-free-firmware") << QFINDTESTDATA("data/dep11/debian-trixie-non-free-firmware_Components-amd64.yml.gz") << 25 << -1;
    QTest::newRow("missing") << dir.filePath(QStringLiteral("missing.yml.gz")) << 0 << 0;
    QTest::newRow("empty") << written("empty.yml.gz", QByteArray()) << 0 << 0;
    // Cut: what the whole documents before the cut hold is still read.
    QTest::newRow("cut in half") << written("cut.yml.gz", gz.left(gz.size() / 2)) << -1 << -1;
    QTest::newRow("not gzip, not YAML") << written("junk.yml.gz", QByteArray(4096, '\x8b')) << 0 << 0;
    QTest::newRow("documents of odd YAML")
        << written("odd.yml",
                   "---\nFile: DEP-11\n---\nID: a\nPackage: flow\nType: firmware\nProvides: {modaliases: [\"pci:v00001002d*\"]}\n"
                   "---\nID: b\nPackage: broken\nProvides:\n  modaliases: [unclosed\n"
                   "---\nID: c\nPackage: deep\nProvides:\n  modaliases:\n  - "
                   + QByteArray(100000, '[') + "\n"
                   "---\nID: d\nPackage: huge\nProvides:\n  modaliases:\n  - pci:" + QByteArray(1000000, 'v') + "\n"
                   "---\nID: e\nPackage: nopatterns\nProvides:\n  modaliases: []\n"
                   "---\nPackage: firmware-amd-graphics\nProvides:\n  modaliases:\n  - pci:v00001002d*\n")
        << 2 << 1;
    // A line longer than any document may be, holding "\n---"-like text: its
    // document is dropped, the next one read.
    QTest::newRow("a line of 17 MiB")
        << written("long.yml", "---\nID: a\nPackage: long\nProvides:\n  modaliases:\n  - " + QByteArray(17 << 20, 'x') + "---\nID: x\n"
                   "---\nID: b\nPackage: firmware-amd-graphics\nProvides:\n  modaliases:\n  - pci:v00001002d*\n")
        << 1 << 1;
}

void ModaliasTest::appStreamCatalogues()
{
    QFETCH(QString, file);
    QFETCH(int, components);
    QFETCH(int, amdPatterns);
    const QVector<AppStreamModaliases::Component> read = AppStreamModaliases::readFile(file);
    if (components < 0) {
        QVERIFY2(!read.isEmpty() && read.size() < 16, qPrintable(QString::number(read.size())));
    } else {
        QCOMPARE(read.size(), components);
    }
    const auto amd = std::find_if(read.cbegin(), read.cend(), [](const AppStreamModaliases::Component &component) {
        return component.package == QLatin1String("firmware-amd-graphics");
    });
    if (amdPatterns >= 0) {
        QCOMPARE(amd == read.cend() ? 0 : amd->patterns.size(), amdPatterns);
    }
    for (const AppStreamModaliases::Component &component : read) {
        QVERIFY(!component.package.isEmpty() && !component.patterns.isEmpty());
        // firmware-misc-nonfree serves Wi-Fi and Bluetooth as well: firmware.
        if (component.package == QLatin1String("firmware-misc-nonfree") || component.package == QLatin1String("flow")) {
            QVERIFY(component.firmware);
        }
    }
}

void ModaliasTest::appStreamCache()
{
    // The catalogue as APT keeps it, and the user's cache of what it holds.
    QTemporaryDir dir;
    const QString lists = dir.filePath(QStringLiteral("lists"));
    const QString catalogue = lists + QStringLiteral("/deb.debian.org_debian_dists_bookworm_non-free-firmware_dep11_Components-amd64.yml.gz");
    QVERIFY(QDir().mkpath(lists));
    QVERIFY(QFile::copy(QFINDTESTDATA("data/dep11/debian-bookworm-non-free-firmware_Components-amd64.yml.gz"), catalogue));
    const QString cache = dir.filePath(QStringLiteral("cache/kiv-admin-driver/appstream-modaliases"));
    // No cache directory yet: made below the user's own (0700) home.
    const auto packages = [&](const QString &cacheFile) {
        QStringList names;
        for (const AppStreamModaliases::Component &component : AppStreamModaliases::readAll(lists, cacheFile)) {
            names.append(component.package);
        }
        return names;
    };
    const QStringList real = packages(cache);
    QCOMPARE(real.size(), 16);
    QVERIFY(real.contains(QStringLiteral("firmware-amd-graphics")));
    QCOMPARE(QFileInfo(cache).permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::WriteGroup), QFileDevice::Permissions());

    // A cache that says otherwise for the same file is believed: it is used.
    QByteArray data = TestFiles::read(cache);
    const auto utf16 = [](const char *text) {
        const QString string = QString::fromLatin1(text);
        QByteArray bytes;
        for (const QChar c : string) {
            bytes.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xff));
        }
        return bytes;
    };
    QVERIFY(data.contains(utf16("firmware-amd-graphics")));
    data.replace(utf16("firmware-amd-graphics"), utf16("firmware-xyz-graphics"));
    QVERIFY(TestFiles::write(cache, data));
    QVERIFY(packages(cache).contains(QStringLiteral("firmware-xyz-graphics")));
    // Not the user's own, or writable by others: not read, and left alone.
    QVERIFY(chown(QFile::encodeName(cache).constData(), 65534, 65534) == 0);
    QCOMPARE(packages(cache), real);
    QCOMPARE(TestFiles::read(cache), data);
    QVERIFY(chown(QFile::encodeName(cache).constData(), geteuid(), getegid()) == 0);
    QVERIFY(QFile::setPermissions(cache, QFile::permissions(cache) | QFileDevice::WriteOther));
    QCOMPARE(packages(cache), real);
    QVERIFY(QFile::setPermissions(cache, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(packages(cache).contains(QStringLiteral("firmware-xyz-graphics")));
    // A catalogue APT fetched anew is read again, and the cache follows it.
    QVERIFY(TestFiles::write(catalogue, TestFiles::read(catalogue)));
    QCOMPARE(packages(cache), real);
    QCOMPARE(packages(cache), real);
    // A damaged cache is read past and written anew; a link is not followed.
    QVERIFY(TestFiles::write(cache, TestFiles::read(cache).chopped(7)));
    QCOMPARE(packages(cache), real);
    QVERIFY(TestFiles::read(cache).contains(utf16("firmware-amd-graphics")));
    const QString linked = dir.filePath(QStringLiteral("cache/kiv-admin-driver/linked"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("elsewhere")), data));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), linked));
    QCOMPARE(packages(linked), real);
    QCOMPARE(TestFiles::read(dir.filePath(QStringLiteral("elsewhere"))), data);
    QCOMPARE(packages(QString()), real);
    // Below another user's directory (root with a user's home): nothing is
    // read or written there.
    QVERIFY(TestFiles::write(cache, data));
    QVERIFY(chown(QFile::encodeName(dir.filePath(QStringLiteral("cache"))).constData(), 65534, 65534) == 0);
    QCOMPARE(packages(cache), real);
    QCOMPARE(TestFiles::read(cache), data);
    const QString fresh = dir.filePath(QStringLiteral("cache/other/appstream-modaliases"));
    QCOMPARE(packages(fresh), real);
    QVERIFY(!QFileInfo::exists(QFileInfo(fresh).path()));
}

void ModaliasTest::nvidiaLists()
{
    // nvidia-detect's real lists, then the same lists damaged beside odd files.
    const QString real = QFileInfo(QFINDTESTDATA("data/nvidia-detect-535.261.03/nvidia.ids")).path();
    const QVector<NvidiaLists::List> lists = NvidiaLists::read(real);
    QStringList packages;
    for (const NvidiaLists::List &list : lists) {
        packages.append(list.package);
    }
    // nvidia-open.ids and nvidia-legacy-390xx-amd64.ids name no driver package.
    QCOMPARE(packages.size(), 13);
    QVERIFY(!packages.contains(QStringLiteral("nvidia-open-driver")));
    QCOMPARE(packages.count(QStringLiteral("nvidia-legacy-390xx-driver")), 1);
    const QString tu102 = NvidiaLists::idOf(QStringLiteral("pci:v000010DEd00001E04sv00001043sd00008672bc03sc00i00"));
    QCOMPARE(tu102, QStringLiteral("10DE1E04"));
    QStringList supporting;
    for (const NvidiaLists::List &list : lists) {
        if (list.ids.contains(tu102)) {
            supporting.append(list.package);
        }
    }
    QCOMPARE(supporting.size(), 7);
    QVERIFY(supporting.contains(QStringLiteral("nvidia-driver")) && supporting.contains(QStringLiteral("nvidia-tesla-470-driver")));

    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("nvidia.ids")), "10de1e04\r\n\n10DE\nnot an id\n10DE1E0G\n 10DE2204 \n"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("nvidia-tesla-535.ids")), QByteArray(2 << 20, '1')));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("nvidia-tesla-470.ids")));
    const QVector<NvidiaLists::List> odd = NvidiaLists::read(dir.path());
    QCOMPARE(odd.size(), 1);
    QCOMPARE(odd.first().ids, (QSet<QString>{QStringLiteral("10DE1E04"), QStringLiteral("10DE2204")}));
    QVERIFY(NvidiaLists::read(dir.filePath(QStringLiteral("missing"))).isEmpty());
    QCOMPARE(NvidiaLists::idOf(QStringLiteral("usb:v046DpC52B")), QString());
}

QTEST_GUILESS_MAIN(ModaliasTest)
#include "modaliastest.moc"
