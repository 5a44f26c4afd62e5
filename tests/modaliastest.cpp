// SPDX-License-Identifier: GPL-2.0-or-later
#include "modalias.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

class ModaliasTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matching_data();
    void matching();
    void realPackages_data();
    void realPackages();
    void sameResultsAsPlainExpressions();
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
        for (const QString &modalias : qAsConst(modaliases)) {
            const bool expected = std::any_of(expressions.cbegin(), expressions.cend(), [&modalias](const QRegularExpression &expression) {
                return expression.match(modalias).hasMatch();
            });
            QVERIFY2(containsModalias(field, modalias) == expected, qPrintable(fixture + QLatin1Char(' ') + modalias));
            matches += expected ? 1 : 0;
        }
    }
    QVERIFY(matches > 0);
}

QTEST_GUILESS_MAIN(ModaliasTest)
#include "modaliastest.moc"
