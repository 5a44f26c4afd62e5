// SPDX-License-Identifier: GPL-2.0-or-later
#include "backuprestorer.h"
#include "configurationbackup.h"
#include "driverswitchhelper.h"
#include "modprobeeditor.h"
#include "requestvalidator.h"
#include "testfiles.h"
#include "xorgconfig.h"

#include <QDirIterator>

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// A machine's configuration below a temporary root.
class Root
{
public:
    Root()
    {
        QDir().mkpath(path(QStringLiteral("/etc/modprobe.d")));
        QDir().mkpath(path(QStringLiteral("/etc/X11/xorg.conf.d")));
        QDir().mkpath(path(QStringLiteral("/usr/share")));
        QDir().mkpath(path(QStringLiteral("/tmp")));
    }

    QString path(const QString &absolute) const
    {
        return dir.path() + absolute;
    }
    bool write(const QString &absolute, const QByteArray &text) const
    {
        return TestFiles::write(path(absolute), text);
    }
    QByteArray read(const QString &absolute) const
    {
        QFile file(path(absolute));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    // Every file below the root with its content, for comparing whole trees.
    QMap<QString, QByteArray> snapshot(const QString &below = QString()) const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(path(below), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            files.insert(file.mid(dir.path().size()), read(file.mid(dir.path().size())));
        }
        return files;
    }

    QTemporaryDir dir;
};

const ModuleSwitch toNouveau{QStringLiteral("nvidia"), QStringLiteral("nvidia"), QStringLiteral("nouveau"), QStringLiteral("nouveau")};
const ModuleSwitch toNvidia{QStringLiteral("nouveau"), QStringLiteral("nouveau"), QStringLiteral("nvidia"), QStringLiteral("nvidia")};
const QString blacklistFile = ModprobeEditor::blacklistFile();

QVariantMap entry(const QString &classId, const QString &busId, const QString &driver, const QString &from = QString(), const QString &to = QString())
{
    QVariantMap map;
    map.insert(QStringLiteral("classId"), classId);
    map.insert(QStringLiteral("busId"), busId);
    map.insert(QStringLiteral("modelName"), QString(QStringLiteral("GPU ") + busId));
    map.insert(QStringLiteral("XOrgDriver"), driver);
    map.insert(QStringLiteral("currentKernelModuleRealName"), from);
    map.insert(QStringLiteral("currentKernelModuleDisplayName"), from);
    map.insert(QStringLiteral("newKernelModuleRealName"), to);
    map.insert(QStringLiteral("newKernelModuleDisplayName"), to);
    return map;
}

QString section(const QString &model, const QString &busId, const QString &driver)
{
    return QStringLiteral("Section \"Device\"\n    Identifier \"%1-%2\"\n    Driver \"%3\"\n    BusID \"%2\"\nEndSection\n\n").arg(model, busId, driver);
}
}

class HelperTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workedExampleAndBack();
    void roundTripRestoresEveryFile();
    void editing_data();
    void editing();
    void appendedLineStandsOnItsOwn();
    void emptyNamesMatchNothing();
    void missingDirectoriesFailTheBlacklistStep();
    void fileReachedTwiceFailsTheSecondTime();
    void rewriteKeepsTheMode();
    void fullDiskLeavesFilesWhole();
    void replaceOrdersEntriesAndWritesSections();
    void replaceStopsAtTheFirstFailure();
    void replaceStartsEveryRequestAfresh();
    void hostileRequestsChangeNothing_data();
    void hostileRequestsChangeNothing();
    void tearing_data();
    void tearing();
    void backupIsMadeOnce();
    void packageActionsNeedNames();
    void restorePutsTheBackupBack();
};

void HelperTest::workedExampleAndBack()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\nalias nouveau off\n"));
    ModprobeEditor editor(root.dir.path());
    QCOMPARE(editor.switchModule(toNouveau), QString());
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), QByteArray("#blacklist nouveau\n#alias nouveau off\n"));
    QCOMPARE(root.read(blacklistFile), QByteArray("blacklist nvidia\n"));

    QCOMPARE(editor.switchModule(toNvidia), QString());
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), QByteArray("blacklist nouveau\nalias nouveau off\n"));
    QCOMPARE(root.read(blacklistFile), QByteArray("#blacklist nvidia\n"));
}

void HelperTest::roundTripRestoresEveryFile()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/lib/modprobe.d/nvidia.conf"), "# from the driver package\nblacklist nouveau\noptions nvidia-drm modeset=1\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\nalias nouveau off\n\tblacklist   nvidiafb\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/sub/dir/any.name"), "alias pci:v000010DEd* nouveau\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/.hidden"), "blacklist nouveau\n"));
    QVERIFY(root.write(QStringLiteral("/run/modprobe.d/tmp.conf"), "#blacklist nvidia\n"));
    QVERIFY(root.write(blacklistFile, "blacklist radeon\n"));
    const auto before = root.snapshot(QStringLiteral("/etc"));
    const auto beforeLib = root.snapshot(QStringLiteral("/lib"));
    const auto beforeRun = root.snapshot(QStringLiteral("/run"));

    ModprobeEditor editor(root.dir.path());
    QCOMPARE(editor.switchModule(toNouveau), QString());
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/.hidden")), QByteArray("blacklist nouveau\n"));
    QCOMPARE(root.read(QStringLiteral("/run/modprobe.d/tmp.conf")), QByteArray("blacklist nvidia\n"));
    QCOMPARE(editor.switchModule(toNvidia), QString());

    // Everything is as it was, down to the byte.
    QCOMPARE(root.snapshot(QStringLiteral("/lib")), beforeLib);
    QCOMPARE(root.snapshot(QStringLiteral("/run")), beforeRun);
    QCOMPARE(root.snapshot(QStringLiteral("/etc")), before);
}

void HelperTest::editing_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<bool>("enable");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArray>("appended");
    QTest::newRow("first of two active lines") << QByteArray("blacklist nouveau\nblacklist nouveau\n") << QStringLiteral("blacklist") << false
                                               << QByteArray("#blacklist nouveau\nblacklist nouveau\n") << QByteArray();
    QTest::newRow("name matches as a prefix") << QByteArray("blacklist nouveaufb\nblacklist nouveau\n") << QStringLiteral("blacklist") << false
                                              << QByteArray("#blacklist nouveaufb\nblacklist nouveau\n") << QByteArray();
    QTest::newRow("mark and blanks go") << QByteArray("#   blacklist nvidia\n") << QStringLiteral("blacklist") << true << QByteArray("blacklist nvidia\n")
                                        << QByteArray();
    QTest::newRow("only the mark next to the keyword goes")
        << QByteArray("## blacklist nvidia\n") << QStringLiteral("blacklist") << true << QByteArray("#blacklist nvidia\n") << QByteArray();
    QTest::newRow("indented mark") << QByteArray("  #\tblacklist nvidia\n") << QStringLiteral("blacklist") << true << QByteArray("  blacklist nvidia\n")
                                   << QByteArray();
    // A mark after other text is a trailing comment, not a disabled entry: it
    // stays, and the module is blacklisted in our own file instead.
    QTest::newRow("trailing comment is not restored") << QByteArray("options snd index=0 # blacklist nvidia\n") << QStringLiteral("blacklist") << true
                                                      << QByteArray("options snd index=0 # blacklist nvidia\n") << QByteArray("blacklist nvidia\n");
    QTest::newRow("alias restored") << QByteArray("# alias nvidia off\n") << QStringLiteral("alias") << true << QByteArray("alias nvidia off\n")
                                    << QByteArray();
    QTest::newRow("missing alias is no failure") << QByteArray("options nvidia x=1\n") << QStringLiteral("alias") << true << QByteArray("options nvidia x=1\n")
                                                 << QByteArray();
    QTest::newRow("other module untouched") << QByteArray("blacklist radeon\n") << QStringLiteral("blacklist") << false << QByteArray("blacklist radeon\n")
                                            << QByteArray();
}

void HelperTest::editing()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, keyword);
    QFETCH(bool, enable);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, appended);
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/test.conf"), before));
    ModprobeEditor editor(root.dir.path());
    QVERIFY(enable ? editor.uncommentEntries(keyword, keyword == QLatin1String("blacklist"), toNouveau) : editor.commentOutEntries(keyword, toNouveau));
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/test.conf")), after);
    QCOMPARE(root.read(blacklistFile), appended.isEmpty() ? QByteArray("<missing>") : appended);
}

void HelperTest::appendedLineStandsOnItsOwn()
{
    Root root;
    QVERIFY(root.write(blacklistFile, "blacklist radeon"));
    QVERIFY(ModprobeEditor(root.dir.path()).appendBlacklistEntry(toNouveau));
    QCOMPARE(root.read(blacklistFile), QByteArray("blacklist radeon\nblacklist nvidia\n"));
}

void HelperTest::emptyNamesMatchNothing()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/test.conf"), "blacklist nouveau\n#blacklist radeon\n"));
    ModprobeEditor editor(root.dir.path());
    const ModuleSwitch halfEmpty{QString(), QString(), QString(), QStringLiteral("nvidia")};
    QVERIFY(!ModprobeEditor::activeEntryPattern(QStringLiteral("blacklist"), QString(), QString()).match(QStringLiteral("blacklist nouveau")).hasMatch());
    QVERIFY(editor.commentOutEntries(QStringLiteral("blacklist"), halfEmpty));
    QVERIFY(editor.uncommentEntries(QStringLiteral("alias"), false, halfEmpty));
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/test.conf")), QByteArray("blacklist nouveau\n#blacklist radeon\n"));
}

void HelperTest::missingDirectoriesFailTheBlacklistStep()
{
    QTemporaryDir empty;
    ModprobeEditor editor(empty.path());
    QVERIFY(editor.modprobeDirectories().isEmpty());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Failed to write to .*/etc/modprobe.d/kiv-admin-driver-blacklists.conf: ")));
    QCOMPARE(editor.switchModule(toNouveau), QStringLiteral("Current driver blacklists error"));
}

void HelperTest::fileReachedTwiceFailsTheSecondTime()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/lib/modprobe.d/nouveau.conf"), "blacklist nouveau\n"));
    QVERIFY(QFile::link(root.path(QStringLiteral("/lib/modprobe.d/nouveau.conf")), root.path(QStringLiteral("/etc/modprobe.d/nouveau.conf"))));
    ModprobeEditor editor(root.dir.path());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Cannot find previously found parameter in file .*/etc/modprobe.d/nouveau.conf$")));
    QCOMPARE(editor.switchModule(toNouveau), QStringLiteral("New driver blacklists error"));
    // The link still is a link: the file behind it was edited.
    QVERIFY(QFileInfo(root.path(QStringLiteral("/etc/modprobe.d/nouveau.conf"))).isSymLink());
    QCOMPARE(root.read(QStringLiteral("/lib/modprobe.d/nouveau.conf")), QByteArray("#blacklist nouveau\n"));
}

void HelperTest::rewriteKeepsTheMode()
{
    Root root;
    const QString file = QStringLiteral("/etc/modprobe.d/private.conf");
    QVERIFY(root.write(file, "blacklist nouveau\n"));
    QVERIFY(QFile::setPermissions(root.path(file), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(ModprobeEditor(root.dir.path()).commentOutEntries(QStringLiteral("blacklist"), toNouveau));
    QCOMPARE(root.read(file), QByteArray("#blacklist nouveau\n"));
    struct stat info;
    QCOMPARE(stat(QFile::encodeName(root.path(file)).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
}

void HelperTest::fullDiskLeavesFilesWhole()
{
    if (geteuid() != 0) {
        QSKIP("mounting a tiny tmpfs needs root");
    }
    // A private mount namespace for this test process, then a file system with
    // room for the old files but not for a second copy of the big one.
    QVERIFY(unshare(CLONE_NEWNS) == 0);
    QVERIFY(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    QTemporaryDir dir;
    QVERIFY(mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=64k") == 0);
    QDir().mkpath(dir.path() + QStringLiteral("/etc/modprobe.d"));
    QDir().mkpath(dir.path() + QStringLiteral("/etc/X11/xorg.conf.d"));
    const QByteArray big = "blacklist nouveau\n" + QByteArray(40 * 1024, '#') + '\n';
    QVERIFY(TestFiles::write(dir.path() + QStringLiteral("/etc/modprobe.d/big.conf"), big));

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error recreating modprobe config file .*big.conf: ")));
    QCOMPARE(ModprobeEditor(dir.path()).switchModule(toNouveau), QStringLiteral("New driver blacklists error"));
    QFile file(dir.path() + QStringLiteral("/etc/modprobe.d/big.conf"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), big);
    file.close();
    QCOMPARE(QDir(dir.path() + QStringLiteral("/etc/modprobe.d")).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big.conf")});
    QVERIFY(umount(QFile::encodeName(dir.path()).constData()) == 0);
}

void HelperTest::replaceOrdersEntriesAndWritesSections()
{
    Root root;
    DriverSwitchHelper helper(root.dir.path());
    const QVariantList data{entry(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting")),
                            entry(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia")),
                            entry(QStringLiteral("0300"), QStringLiteral("PCI:2@0:0:0"), QStringLiteral("amdgpu")),
                            entry(QStringLiteral("0302"), QStringLiteral("PCI:3@0:0:0"), QStringLiteral("nouveau"))};
    const KAuth::ActionReply reply = helper.replace({{QStringLiteral("data"), data}});
    QVERIFY2(reply.succeeded(), qPrintable(reply.errorDescription()));
    const QString expected = section(QStringLiteral("GPU PCI:0@0:2:0"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting"))
        + section(QStringLiteral("GPU PCI:2@0:0:0"), QStringLiteral("PCI:2@0:0:0"), QStringLiteral("amdgpu"))
        + section(QStringLiteral("GPU PCI:3@0:0:0"), QStringLiteral("PCI:3@0:0:0"), QStringLiteral("nouveau"))
        + section(QStringLiteral("GPU PCI:1@0:0:0"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia"));
    QCOMPARE(QString::fromLatin1(root.read(XorgConfig::driverSnippetPath())), expected);
    // The backup of the configuration from before the first change.
    QVERIFY(QFileInfo::exists(root.path(QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d"))));
    QVERIFY(QFileInfo::exists(root.path(QStringLiteral("/usr/share/kiv-admin-driver/xorg.conf.d"))));

    // Nothing to write: the snippet stays byte for byte.
    QVERIFY(helper.replace({{QStringLiteral("data"), QVariantList{entry(QStringLiteral("0300"), QString(), QString())}}}).succeeded());
    QVERIFY(helper.replace({}).succeeded());
    QCOMPARE(QString::fromLatin1(root.read(XorgConfig::driverSnippetPath())), expected);
}

void HelperTest::replaceStopsAtTheFirstFailure()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\nalias nouveau off\n"));
    // The radeon alias file is a directory's name: it matches but cannot be rewritten.
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/radeon.conf"), "alias radeon off\n"));
    QVERIFY(QFile::link(QStringLiteral("radeon.conf"), root.path(QStringLiteral("/etc/modprobe.d/radeon-again.conf"))));
    DriverSwitchHelper helper(root.dir.path());
    const QVariantList data{
        entry(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting"), QStringLiteral("nvidia"), QStringLiteral("nouveau")),
        entry(QStringLiteral("0300"), QStringLiteral("PCI:2@0:0:0"), QStringLiteral("ati"), QStringLiteral("amdgpu"), QStringLiteral("radeon"))};
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Cannot find previously found parameter in file ")));
    const KAuth::ActionReply reply = helper.replace({{QStringLiteral("data"), data}});
    QVERIFY(!reply.succeeded());
    QCOMPARE(reply.errorDescription(), QStringLiteral("New driver alias error"));
    // The first entry's switch and the second's first two steps stay; no snippet.
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), QByteArray("#blacklist nouveau\n#alias nouveau off\n"));
    QCOMPARE(root.read(blacklistFile), QByteArray("blacklist nvidia\nblacklist amdgpu\n"));
    QCOMPARE(root.read(XorgConfig::driverSnippetPath()), QByteArray("<missing>"));
}

void HelperTest::replaceStartsEveryRequestAfresh()
{
    Root root;
    DriverSwitchHelper helper(root.dir.path());
    QVERIFY(helper.replace({{QStringLiteral("data"), QVariantList{entry(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("intel"))}}})
                .succeeded());
    QVERIFY(helper.replace({{QStringLiteral("data"), QVariantList{entry(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia"))}}})
                .succeeded());
    QCOMPARE(QString::fromLatin1(root.read(XorgConfig::driverSnippetPath())),
             section(QStringLiteral("GPU PCI:1@0:0:0"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia")));
}

void HelperTest::hostileRequestsChangeNothing_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const QString injection = QStringLiteral("nouveau\ninstall nvidia /bin/sh -c 'id > /tmp/owned'");
    QTest::newRow("module with an install line") << QStringLiteral("newKernelModuleRealName") << injection;
    QTest::newRow("module as a path") << QStringLiteral("currentKernelModuleDisplayName") << QStringLiteral("../../etc/shadow");
    QTest::newRow("module too long") << QStringLiteral("newKernelModuleDisplayName") << QString(300, QLatin1Char('a'));
    QTest::newRow("driver with a quote") << QStringLiteral("XOrgDriver") << QStringLiteral("nvidia\"\n    Option \"x\" \"y");
    QTest::newRow("driver with a tab") << QStringLiteral("XOrgDriver") << QStringLiteral("nv\tidia");
    QTest::newRow("model with a newline") << QStringLiteral("modelName") << QStringLiteral("GPU\nEndSection");
    QTest::newRow("model too long") << QStringLiteral("modelName") << QString(5000, QLatin1Char('x'));
    QTest::newRow("bus id in libhd form") << QStringLiteral("busId") << QStringLiteral("0000:01:00.0");
    QTest::newRow("bus id with a quote") << QStringLiteral("busId") << QStringLiteral("PCI:1@0:0:0\"");
    QTest::newRow("bus id with a trailing newline") << QStringLiteral("busId") << QStringLiteral("PCI:1@0:0:0\n");
}

void HelperTest::hostileRequestsChangeNothing()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\n"));
    const auto before = root.snapshot();
    DriverSwitchHelper helper(root.dir.path());
    QVariantMap bad =
        entry(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nouveau"), QStringLiteral("nvidia"), QStringLiteral("nouveau"));
    bad.insert(key, value);
    const QVariantList data{entry(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting")), bad};
    const KAuth::ActionReply reply = helper.replace({{QStringLiteral("data"), data}});
    QVERIFY(!reply.succeeded());
    QVERIFY(reply.errorDescription().startsWith(QLatin1String("Refused request: entry 2 has an invalid ")));
    QVERIFY(!reply.errorDescription().contains(QLatin1Char('\n')));
    // Not even the backup marker.
    QCOMPARE(root.snapshot(), before);
}

void HelperTest::tearing_data()
{
    QTest::addColumn<QVariantMap>("args");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    const auto args = [](const char *vendor, const char *driver, const char *enable) {
        QVariantMap map;
        map.insert(QStringLiteral("vendor"), QString::fromLatin1(vendor));
        map.insert(QStringLiteral("driverName"), QString::fromLatin1(driver));
        map.insert(QStringLiteral("shouldEnable"), QString::fromLatin1(enable));
        return map;
    };
    QTest::newRow("amd off") << args("amd", "amdgpu", "false") << QString() << QStringLiteral("/etc/X11/xorg.conf.d/20-amd-tearing.conf")
                             << QByteArray(
                                    "Section \"Device\"\n    Identifier \"Intel Graphics\"\n    Driver \"amdgpu\"\n"
                                    "    Option \"TearFree\" \"false\"\nEndSection\n");
    QTest::newRow("intel, no driver") << args("intel", "", "true") << QString() << QStringLiteral("/etc/X11/xorg.conf.d/20-intel-tearing.conf")
                                      << QByteArray(
                                             "Section \"Device\"\n    Identifier \"Intel Graphics\"\n    Driver \"\"\n"
                                             "    Option \"TearFree\" \"true\"\nEndSection\n");
    QTest::newRow("vendor in capitals") << args("AMD", "amdgpu", "true") << QStringLiteral("Did not receive proper GPU vendor") << QString() << QByteArray();
    QTest::newRow("vendor as a path") << args("../../../etc/passwd", "x", "true") << QStringLiteral("Did not receive proper GPU vendor") << QString()
                                      << QByteArray();
    QTest::newRow("option injection") << args("intel", "intel", "true\"\n    Option \"AccelMethod\" \"none")
                                      << QStringLiteral("Refused request: shouldEnable is neither \"true\" nor \"false\"") << QString() << QByteArray();
    QTest::newRow("driver with a quote") << args("intel", "intel\"", "true") << QStringLiteral("Refused request: invalid driverName") << QString()
                                         << QByteArray();
}

void HelperTest::tearing()
{
    QFETCH(QVariantMap, args);
    QFETCH(QString, error);
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    Root root;
    const auto before = root.snapshot();
    DriverSwitchHelper helper(root.dir.path());
    const KAuth::ActionReply reply = helper.tearing(args);
    QCOMPARE(reply.succeeded(), error.isEmpty());
    QCOMPARE(reply.errorDescription(), error);
    if (error.isEmpty()) {
        QCOMPARE(root.read(file), content);
        // Never a backup for tearing.
        QCOMPARE(root.snapshot().size(), before.size() + 1);
    } else {
        QCOMPARE(root.snapshot(), before);
    }
}

void HelperTest::backupIsMadeOnce()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/a.conf"), "blacklist nouveau\n"));
    QVERIFY(root.write(QStringLiteral("/etc/X11/xorg.conf.d/10-x.conf"), "Section \"Device\"\nEndSection\n"));
    ConfigurationBackup backup(root.dir.path());
    QVERIFY(backup.markerPath().endsWith(QLatin1String("/tmp/driver-root.mark")) || geteuid() != 0);
    backup.backupOnce();
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/a.conf")), QByteArray("blacklist nouveau\n"));
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/xorg.conf.d/10-x.conf")), QByteArray("Section \"Device\"\nEndSection\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/a.conf"), "#blacklist nouveau\n"));
    backup.backupOnce();
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/a.conf")), QByteArray("blacklist nouveau\n"));
    QVERIFY(!backup.createBackupMarker());
}

void HelperTest::packageActionsNeedNames()
{
    Root root;
    const auto before = root.snapshot();
    DriverSwitchHelper helper(root.dir.path());
    QCOMPARE(helper.install({}).errorDescription(), QStringLiteral("Didn't receive any drivers for installation"));
    QCOMPARE(helper.remove({{QStringLiteral("drivers"), QStringList()}}).errorDescription(), QStringLiteral("Didn't receive any drivers for removal"));
    QCOMPARE(helper.install({{QStringLiteral("drivers"), QStringList{QStringLiteral("nvidia-driver; rm -rf /")}}}).errorDescription(),
             QStringLiteral("Refused request: package 1 has an invalid name"));
    QCOMPARE(helper.remove({{QStringLiteral("drivers"), QStringList{QStringLiteral("nvidia-driver-470"), QStringLiteral("nvidia\n")}}}).errorDescription(),
             QStringLiteral("Refused request: package 2 has an invalid name"));
    QCOMPARE(root.snapshot(), before);
}

void HelperTest::restorePutsTheBackupBack()
{
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\n"));
    QVERIFY(root.write(QStringLiteral("/etc/X11/xorg.conf.d/10-screen.conf"), "Section \"Screen\"\nEndSection\n"));
    QVERIFY(!BackupRestorer(root.dir.path()).hasBackup());
    const auto before = root.snapshot(QStringLiteral("/etc"));

    DriverSwitchHelper helper(root.dir.path());
    QVERIFY(helper
                .replace({{QStringLiteral("data"),
                           QVariantList{entry(QStringLiteral("0302"),
                                              QStringLiteral("PCI:1@0:0:0"),
                                              QStringLiteral("nouveau"),
                                              QStringLiteral("nvidia"),
                                              QStringLiteral("nouveau"))}}})
                .succeeded());
    QVERIFY(root.snapshot(QStringLiteral("/etc")) != before);

    const BackupRestorer restorer(root.dir.path());
    QVERIFY(restorer.hasBackup());
    const QList<BackupRestorer::Copy> plan = restorer.plan();
    QStringList restored;
    QCOMPARE(restorer.restore(plan,
                              [&restored](const BackupRestorer::Copy &copy) {
                                  restored.append(copy.to);
                              }),
             QString());
    // The helper's own files written after the backup go, the others come back.
    QCOMPARE(
        restored,
        (QStringList{root.path(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), root.path(blacklistFile), root.path(XorgConfig::driverSnippetPath())}));
    QCOMPARE(root.snapshot(QStringLiteral("/etc")), before);
    const QList<BackupRestorer::Copy> again = restorer.plan();
    QVERIFY(std::none_of(again.cbegin(), again.cend(), [](const BackupRestorer::Copy &copy) {
        return copy.changes;
    }));
}

QTEST_GUILESS_MAIN(HelperTest)
#include "helpertest.moc"
