// SPDX-License-Identifier: GPL-2.0-or-later
#include "aptgetpackagebackend.h"
#include "atomicfile.h"
#include "backuprestorer.h"
#include "configurationbackup.h"
#include "driverswitchhelper.h"
#include "initramfsupdate.h"
#include "modprobeeditor.h"
#include "requestvalidator.h"
#include "testfiles.h"
#include "xorgconfig.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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

    // Every file but the backup and the marker.
    QMap<QString, QByteArray> configuration() const
    {
        QMap<QString, QByteArray> files = snapshot();
        for (auto it = files.begin(); it != files.end();) {
            it = it.key().startsWith(QLatin1String("/usr/share/")) || it.key().startsWith(QLatin1String("/tmp/")) || it.key().startsWith(QLatin1String("/run/"))
                ? files.erase(it)
                : std::next(it);
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

// The NVIDIA GPU of a hybrid laptop switched from nvidia to nouveau.
QVariantMap nvidiaToNouveau()
{
    return {
        {QStringLiteral("data"),
         QVariantList{
             entry(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nouveau"), QStringLiteral("nvidia"), QStringLiteral("nouveau"))}}};
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
    void restoredWhereKmodDoesNotLook();
    void appendedLineStandsOnItsOwn();
    void emptyNamesMatchNothing();
    void missingDirectoriesFailTheBlacklistStep();
    void fileReachedTwiceFailsTheSecondTime();
    void rewriteKeepsBytesAndOwnership_data();
    void rewriteKeepsBytesAndOwnership();
    void rewriteKeepsLabelsAndNames();
    void onlyRegularFilesAreRead();
    void fullDiskNeverLosesData_data();
    void fullDiskNeverLosesData();
    void replaceOrdersEntriesAndWritesSections();
    void replaceStopsAtTheFirstFailure();
    void replaceKeepsOtherGpusSections();
    void hostileRequestsChangeNothing_data();
    void hostileRequestsChangeNothing();
    void tearing_data();
    void tearing();
    void backupIsMadeOnce();
    void backupPrecedesEveryChange_data();
    void backupPrecedesEveryChange();
    void backupKeepsOwnershipApart();
    void restoreRefusesUntrustedBackup_data();
    void restoreRefusesUntrustedBackup();
    void partialBackupLeavesOtherFilesAlone();
    void packageActionsNeedNames();
    void restorePutsTheBackupBack();
    void restoreUndoesTheSwitch_data();
    void restoreUndoesTheSwitch();
    void restoreNamesWhatItCannotPutBack();
    void modulesNamedForTheInitramfs_data();
    void modulesNamedForTheInitramfs();
    void initramfsListings_data();
    void initramfsListings();
    void aptStatusLines_data();
    void aptStatusLines();
};

void HelperTest::modulesNamedForTheInitramfs_data()
{
    // A restored file, before and after: the modules whose copies in an
    // initramfs were built with what it said.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("modules");
    QTest::newRow("entries") << QByteArray("blacklist nouveau\ninstall nvidia-drm /bin/false\noptions nvidia NVreg_X=1\nremove radeon x\n")
                             << QStringList{QStringLiteral("nouveau"), QStringLiteral("nvidia_drm"), QStringLiteral("nvidia"), QStringLiteral("radeon")};
    QTest::newRow("alias: both names") << QByteArray("alias nouveau off\nalias pci:v000010DEd* nvidia_current\n")
                                       << QStringList{QStringLiteral("nouveau"),
                                                      QStringLiteral("off"),
                                                      QStringLiteral("pci:v000010DEd*"),
                                                      QStringLiteral("nvidia_current")};
    QTest::newRow("softdep") << QByteArray("softdep nvidia pre: ecdh_generic post: nvidia-drm\n")
                             << QStringList{QStringLiteral("nvidia"), QStringLiteral("ecdh_generic"), QStringLiteral("nvidia_drm")};
    QTest::newRow("comments, continued lines, once each")
        << QByteArray("#blacklist i915\n  blacklist \\\n amdgpu\nblacklist amdgpu\n") << QStringList{QStringLiteral("amdgpu")};
    QTest::newRow("empty") << QByteArray() << QStringList();
}

void HelperTest::modulesNamedForTheInitramfs()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, modules);
    QCOMPARE(InitramfsUpdate::modulesNamedIn(text), modules);
}

void HelperTest::initramfsListings_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<bool>("longFormat");
    QTest::addColumn<QStringList>("paths");
    // As lsinitramfs prints an image with merged /usr.
    QTest::newRow("lsinitramfs") << QByteArray(".\netc/modprobe.d/nouveau-off.conf\nusr/lib/modprobe.d/aliases.conf\nlib\n") << false
                                 << QStringList{QStringLiteral("."),
                                                QStringLiteral("etc/modprobe.d/nouveau-off.conf"),
                                                QStringLiteral("lib/modprobe.d/aliases.conf"),
                                                QStringLiteral("lib")};
    // As lsinitrd prints: a header, then cpio's long lines.
    QTest::newRow("lsinitrd") << QByteArray(
        "Image: /boot/initrd.img-6.1.0-57-amd64: 13M\n"
        "========================================================================\n"
        "dracut modules:\nbase\n"
        "drwxr-xr-x   2 root     root            0 Dec  9 13:45 etc/modprobe.d\n"
        "-rw-r--r--   1 root     root           18 Dec  9 13:45 etc/modprobe.d/nouveau off.conf\n"
        "-rw-r--r--   1 root     root      1229025 Nov 26  2025 usr/lib/modules/6.1.0-57-amd64/kernel/drivers/gpu/drm/drm.ko\n"
        "lrwxrwxrwx   1 root     root           28 Dec  9 13:45 etc/modprobe.d/nvidia.conf -> /etc/alternatives/nvidia.conf\n"
        "crw-r--r--   1 root     root       5,   1 Dec  9 13:45 dev/console\n")
                              << true
                              << QStringList{QStringLiteral("etc/modprobe.d"),
                                             QStringLiteral("etc/modprobe.d/nouveau off.conf"),
                                             QStringLiteral("lib/modules/6.1.0-57-amd64/kernel/drivers/gpu/drm/drm.ko"),
                                             QStringLiteral("etc/modprobe.d/nvidia.conf")};
    QTest::newRow("empty") << QByteArray() << true << QStringList();
}

void HelperTest::initramfsListings()
{
    QFETCH(QByteArray, listing);
    QFETCH(bool, longFormat);
    QFETCH(QStringList, paths);
    QCOMPARE(InitramfsUpdate::pathsOfListing(listing, longFormat), paths);
}

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
    QTest::addColumn<bool>("succeeds");
    // Everything kmod takes for a block is lifted: every entry, indented ones too,
    // the name as a whole word, and install entries that run nothing.
    QTest::newRow("every active line") << QByteArray("blacklist nouveau\nblacklist nouveau\n") << QStringLiteral("blacklist") << false
                                       << QByteArray("#blacklist nouveau\n#blacklist nouveau\n") << QByteArray() << true;
    QTest::newRow("whole names only") << QByteArray("blacklist nouveaufb\nblacklist nouveau\n") << QStringLiteral("blacklist") << false
                                      << QByteArray("blacklist nouveaufb\n#blacklist nouveau\n") << QByteArray() << true;
    QTest::newRow("indented entry") << QByteArray(" \tblacklist\tnouveau # old card\n") << QStringLiteral("blacklist") << false
                                    << QByteArray("# \tblacklist\tnouveau # old card\n") << QByteArray() << true;
    QTest::newRow("install that runs nothing") << QByteArray("install nouveau /bin/false\ninstall  nouveau true\ninstall nouveau /sbin/modprobe x\n")
                                               << QStringLiteral("blacklist") << false
                                               << QByteArray("#install nouveau /bin/false\n#install  nouveau true\ninstall nouveau /sbin/modprobe x\n")
                                               << QByteArray() << true;
    QTest::newRow("entry continued on the next line") << QByteArray("blacklist \\\nnouveau\n") << QStringLiteral("blacklist") << false
                                                      << QByteArray("#blacklist \\\nnouveau\n") << QByteArray() << true;
    QTest::newRow("not an entry: continues the line before") << QByteArray("options x y=1 \\\nblacklist nouveau\n") << QStringLiteral("blacklist") << false
                                                             << QByteArray("options x y=1 \\\nblacklist nouveau\n") << QByteArray() << true;
    QTest::newRow("not an entry: a mark after blanks")
        << QByteArray("  # blacklist nouveau\n") << QStringLiteral("blacklist") << false << QByteArray("  # blacklist nouveau\n") << QByteArray() << true;
    // Lifting this block would also take away what else the line does.
    QTest::newRow("install that runs something besides")
        << QByteArray("blacklist nouveau\ninstall nouveau /bin/false; logger nouveau\n") << QStringLiteral("blacklist") << false
        << QByteArray("blacklist nouveau\ninstall nouveau /bin/false; logger nouveau\n") << QByteArray() << false;
    QTest::newRow("install entry restored") << QByteArray("#install nvidia /bin/false\n") << QStringLiteral("blacklist") << true
                                            << QByteArray("install nvidia /bin/false\n") << QByteArray() << true;
    QTest::newRow("every commented line restored") << QByteArray("#blacklist nvidia\n# blacklist nvidia\n") << QStringLiteral("blacklist") << true
                                                   << QByteArray("blacklist nvidia\nblacklist nvidia\n") << QByteArray() << true;
    QTest::newRow("a mark inside a continued line stays") << QByteArray("options x y=1 \\\n#blacklist nvidia\n") << QStringLiteral("blacklist") << true
                                                          << QByteArray("options x y=1 \\\n#blacklist nvidia\n") << QByteArray("blacklist nvidia\n") << true;
    QTest::newRow("mark and blanks go") << QByteArray("#   blacklist nvidia\n") << QStringLiteral("blacklist") << true << QByteArray("blacklist nvidia\n")
                                        << QByteArray() << true;
    // Taking one of two marks away leaves a comment: no entry to restore.
    QTest::newRow("two marks: no disabled entry") << QByteArray("## blacklist nvidia\n") << QStringLiteral("blacklist") << true
                                                  << QByteArray("## blacklist nvidia\n") << QByteArray("blacklist nvidia\n") << true;
    QTest::newRow("indented mark") << QByteArray("  #\tblacklist nvidia\n") << QStringLiteral("blacklist") << true << QByteArray("  blacklist nvidia\n")
                                   << QByteArray() << true;
    // A mark after other text is a trailing comment, not a disabled entry: it
    // stays, and the module is blacklisted in our own file instead.
    QTest::newRow("trailing comment is not restored") << QByteArray("options snd index=0 # blacklist nvidia\n") << QStringLiteral("blacklist") << true
                                                      << QByteArray("options snd index=0 # blacklist nvidia\n") << QByteArray("blacklist nvidia\n") << true;
    QTest::newRow("alias restored") << QByteArray("# alias nvidia off\n") << QStringLiteral("alias") << true << QByteArray("alias nvidia off\n") << QByteArray()
                                    << true;
    QTest::newRow("missing alias is no failure") << QByteArray("options nvidia x=1\n") << QStringLiteral("alias") << true << QByteArray("options nvidia x=1\n")
                                                 << QByteArray() << true;
    QTest::newRow("other module untouched") << QByteArray("blacklist radeon\n") << QStringLiteral("blacklist") << false << QByteArray("blacklist radeon\n")
                                            << QByteArray() << true;
}

void HelperTest::editing()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, keyword);
    QFETCH(bool, enable);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, appended);
    QFETCH(bool, succeeds);
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/test.conf"), before));
    ModprobeEditor editor(root.dir.path());
    QCOMPARE(enable ? editor.uncommentEntries(keyword, keyword == QLatin1String("blacklist"), toNouveau) : editor.commentOutEntries(keyword, toNouveau),
             succeeds);
    if (!succeeds) {
        QCOMPARE(editor.lastProblem(),
                 QStringLiteral("line 2 of a file only root can read (named in the system log) keeps nouveau from loading with a command that does more, "
                                "which cannot be undone safely"));
    }
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/test.conf")), after);
    QCOMPARE(root.read(blacklistFile), appended.isEmpty() ? QByteArray("<missing>") : appended);
}

void HelperTest::restoredWhereKmodDoesNotLook()
{
    // Restored in a file kmod never reads, the entry blocks nothing: the module
    // is blacklisted in our own file as well.
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nvidia.conf.dpkg-old"), "#blacklist nvidia\n"));
    QVERIFY(root.write(QStringLiteral("/lib/modprobe.d/shadowed.conf"), "#blacklist nvidia\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/shadowed.conf"), "options x y=1\n"));
    QVERIFY(ModprobeEditor(root.dir.path()).uncommentEntries(QStringLiteral("blacklist"), true, toNouveau));
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nvidia.conf.dpkg-old")), QByteArray("blacklist nvidia\n"));
    QCOMPARE(root.read(blacklistFile), QByteArray("blacklist nvidia\n"));
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

void HelperTest::rewriteKeepsBytesAndOwnership_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("owner");
    QTest::addColumn<int>("group");
    QTest::addColumn<bool>("throughLink");
    // kmod reads on past a NUL, and so must the editor: the entry after it counts.
    QTest::newRow("NUL before the entry") << QByteArray(
        "# vendor file\0\x01\x02\nblacklist nouveau\noptions nouveau modeset=0\nalias pci:v000010DE* nouveau\n",
        81) << QByteArray("# vendor file\0\x01\x02\n#blacklist nouveau\noptions nouveau modeset=0\nalias pci:v000010DE* nouveau\n", 82)
                                          << 0644 << 0 << 0 << false;
    QTest::newRow("NULs after the entry") << QByteArray("blacklist nouveau\n\0\0\noptions nvidia x=1\n", 40)
                                          << QByteArray("#blacklist nouveau\n\0\0\noptions nvidia x=1\n", 41) << 0644 << 0 << 0 << false;
    QTest::newRow("bytes that are not UTF-8") << QByteArray("# caf\xe9\nblacklist nouveau\n\x80\xff\n")
                                              << QByteArray("# caf\xe9\n#blacklist nouveau\n\x80\xff\n") << 0644 << 0 << 0 << false;
    QTest::newRow("read-only") << QByteArray("blacklist nouveau\n") << QByteArray("#blacklist nouveau\n") << 0444 << 0 << 0 << false;
    QTest::newRow("setuid and setgid bits") << QByteArray("blacklist nouveau\n") << QByteArray("#blacklist nouveau\n") << 06755 << 0 << 0 << false;
    QTest::newRow("root:video") << QByteArray("blacklist nouveau\n") << QByteArray("#blacklist nouveau\n") << 0640 << 0 << 44 << false;
    QTest::newRow("another owner") << QByteArray("blacklist nouveau\n") << QByteArray("#blacklist nouveau\n") << 0600 << 1234 << 5678 << false;
    QTest::newRow("behind a link") << QByteArray("blacklist nouveau\n") << QByteArray("#blacklist nouveau\n") << 0640 << 1234 << 44 << true;
}

void HelperTest::rewriteKeepsBytesAndOwnership()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(int, mode);
    QFETCH(int, owner);
    QFETCH(int, group);
    QFETCH(bool, throughLink);
    if (geteuid() != 0 && (owner != 0 || group != 0)) {
        QSKIP("giving files to other users needs root");
    }
    Root root;
    const QString file = throughLink ? QStringLiteral("/etc/vendor/nouveau.conf") : QStringLiteral("/etc/modprobe.d/nouveau.conf");
    QVERIFY(root.write(file, before));
    if (throughLink) {
        QVERIFY(QFile::link(QStringLiteral("../vendor/nouveau.conf"), root.path(QStringLiteral("/etc/modprobe.d/nouveau.conf"))));
    }
    const QByteArray path = QFile::encodeName(root.path(file));
    QCOMPARE(chown(path.constData(), uid_t(owner), gid_t(group)), 0);
    QCOMPARE(chmod(path.constData(), mode_t(mode)), 0);

    QVERIFY(ModprobeEditor(root.dir.path()).commentOutEntries(QStringLiteral("blacklist"), toNouveau));
    QCOMPARE(root.read(file), after);
    struct stat info;
    QCOMPARE(stat(path.constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode);
    QCOMPARE(int(info.st_uid), owner);
    QCOMPARE(int(info.st_gid), group);
    QCOMPARE(QFileInfo(root.path(QStringLiteral("/etc/modprobe.d/nouveau.conf"))).isSymLink(), throughLink);
    // No temporary file is left.
    QCOMPARE(root.snapshot(QStringLiteral("/etc")).size(), throughLink ? 2 : 1);
}

void HelperTest::rewriteKeepsLabelsAndNames()
{
    // Labels (SELinux's among the extended attributes) stay with the new file; a
    // file with a second name is not split into two that differ.
    Root root;
    const QString file = QStringLiteral("/etc/modprobe.d/nouveau.conf");
    QVERIFY(root.write(file, "blacklist nouveau\n"));
    const QByteArray path = QFile::encodeName(root.path(file));
    const QByteArray label("system_u:object_r:modules_conf_t:s0");
    QCOMPARE(setxattr(path.constData(), "user.kiv-label", label.constData(), size_t(label.size()), 0), 0);
    if (geteuid() == 0) {
        QCOMPARE(setxattr(path.constData(), "trusted.kiv-label", label.constData(), size_t(label.size()), 0), 0);
    }
    QVERIFY(ModprobeEditor(root.dir.path()).commentOutEntries(QStringLiteral("blacklist"), toNouveau));
    QCOMPARE(root.read(file), QByteArray("#blacklist nouveau\n"));
    for (const char *name : {"user.kiv-label", "trusted.kiv-label"}) {
        if (geteuid() != 0 && QByteArray(name).startsWith("trusted.")) {
            continue;
        }
        char value[64] = {};
        QCOMPARE(getxattr(path.constData(), name, value, sizeof(value)), ssize_t(label.size()));
        QCOMPARE(QByteArray(value), label);
    }

    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/radeon.conf"), "blacklist nouveau\n"));
    const QByteArray second = QFile::encodeName(root.path(QStringLiteral("/etc/radeon-second-name.conf")));
    QCOMPARE(link(QFile::encodeName(root.path(QStringLiteral("/etc/modprobe.d/radeon.conf"))).constData(), second.constData()), 0);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Error recreating modprobe config file .*radeon.conf: the file has 2 names")));
    QVERIFY(!ModprobeEditor(root.dir.path()).commentOutEntries(QStringLiteral("blacklist"), toNouveau));
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/radeon.conf")), QByteArray("blacklist nouveau\n"));
    QCOMPARE(TestFiles::read(QFile::decodeName(second)), QByteArray("blacklist nouveau\n"));
    struct stat info;
    QCOMPARE(stat(second.constData(), &info), 0);
    QCOMPARE(int(info.st_nlink), 2);
}

void HelperTest::onlyRegularFilesAreRead()
{
    // A FIFO blocks a reader for good and /dev/zero never ends: neither is configuration.
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\n"));
    QCOMPARE(mkfifo(QFile::encodeName(root.path(QStringLiteral("/etc/modprobe.d/fifo.conf"))).constData(), 0644), 0);
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), root.path(QStringLiteral("/etc/modprobe.d/zero.conf"))));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent"), root.path(QStringLiteral("/etc/modprobe.d/dangling.conf"))));
    QCOMPARE(ModprobeEditor(root.dir.path()).switchModule(toNouveau), QString());
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), QByteArray("#blacklist nouveau\n"));
    QCOMPARE(root.read(blacklistFile), QByteArray("blacklist nvidia\n"));
    QByteArray data;
    QString error;
    QVERIFY(!AtomicFile::read(root.path(QStringLiteral("/etc/modprobe.d/fifo.conf")), &data, &error));
    QCOMPARE(error, QStringLiteral("not a regular file"));
}

void HelperTest::fullDiskNeverLosesData_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("freePages");
    // Small files, files around the 16 KiB write buffer of QFileDevice, large ones;
    // with no page and with one page (4 KiB) left.
    const QStringList writers{QStringLiteral("modprobe edit"),
                              QStringLiteral("blacklist line"),
                              QStringLiteral("driver snippet"),
                              QStringLiteral("tearing snippet"),
                              QStringLiteral("restore")};
    for (const QString &writer : writers) {
        for (const int size : {100, 4095, 10240, 16383, 16384, 16385, 40960}) {
            for (const int freePages : {0, 1}) {
                QTest::addRow("%s, %d bytes, %d pages free", qPrintable(writer), size, freePages) << writer << size << freePages;
            }
        }
    }
}

void HelperTest::fullDiskNeverLosesData()
{
    QFETCH(QString, writer);
    QFETCH(int, size);
    QFETCH(int, freePages);
    if (geteuid() != 0) {
        QSKIP("mounting a tmpfs needs root");
    }
    // A private mount namespace for this test process, then a small file system
    // filled up to the pages the row leaves free.
    static const bool isolated = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QVERIFY(isolated);
    QTemporaryDir dir;
    const QByteArray mountPoint = QFile::encodeName(dir.path());
    QCOMPARE(mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m"), 0);
    const auto unmount = qScopeGuard([&mountPoint] {
        umount(mountPoint.constData());
    });
    const QString root = dir.path();
    QDir().mkpath(root + QStringLiteral("/etc/modprobe.d"));
    QDir().mkpath(root + QStringLiteral("/etc/X11/xorg.conf.d"));
    QDir().mkpath(root + QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d"));
    QDir().mkpath(root + QStringLiteral("/tmp"));
    // This boot's backup exists: none is made on this disk.
    QVERIFY(TestFiles::write(root + ConfigurationBackup(root).bootRecordPath().mid(root.size()), QByteArray()));
    QCOMPARE(chmod(QFile::encodeName(QFileInfo(ConfigurationBackup(root).bootRecordPath()).path()).constData(), 0700), 0);

    // The file each writer replaces, and what it must hold afterwards.
    const auto padded = [size](const QByteArray &head) -> QByteArray {
        return head + QByteArray(size - head.size() - 1, '#') + '\n';
    };
    QString file;
    QByteArray old;
    QByteArray expected;
    if (writer == QLatin1String("modprobe edit") || writer == QLatin1String("restore")) {
        file = QStringLiteral("/etc/modprobe.d/nouveau.conf");
        old = padded("blacklist nouveau\n");
        expected = writer == QLatin1String("restore") ? padded("blacklist radeon\n") : QByteArray('#' + old);
        QVERIFY(TestFiles::write(root + QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/nouveau.conf"), expected));
    } else if (writer == QLatin1String("blacklist line")) {
        file = blacklistFile;
        old = padded("blacklist radeon\n");
        expected = old + "blacklist nvidia\n";
    } else if (writer == QLatin1String("driver snippet")) {
        file = XorgConfig::driverSnippetPath();
        old = padded(section(QStringLiteral("GPU PCI:0@0:2:0"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("intel")).toLatin1());
        expected = XorgConfig::merged(
                       QString::fromLatin1(old),
                       {{QStringLiteral("PCI:1@0:0:0"), section(QStringLiteral("GPU PCI:1@0:0:0"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia"))}})
                       .toLatin1();
    } else {
        file = XorgConfig::tearingSnippetPath(QStringLiteral("intel"));
        old = padded("Section \"Device\"\n");
        expected = "Section \"Device\"\n    Identifier \"Intel Graphics\"\n    Driver \"intel\"\n    Option \"TearFree\" \"true\"\nEndSection\n";
    }
    QVERIFY(TestFiles::write(root + file, old));
    // Whether it fails or not, every writer keeps the file's owner, group and mode.
    const QByteArray path = QFile::encodeName(root + file);
    QCOMPARE(chown(path.constData(), 1234, 44), 0);
    QCOMPARE(chmod(path.constData(), 0640), 0);

    // Fill the disk, then give back whole pages.
    QFile filler(root + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray page(4096, 'x');
    while (filler.write(page) == page.size()) { }
    const qint64 filled = filler.size() - filler.size() % 4096;
    QVERIFY(filled >= qint64(freePages) * 4096);
    QVERIFY(filler.resize(filled - qint64(freePages) * 4096));
    filler.close();
    const QStringList filesBefore = QDir(root + QFileInfo(file).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    bool succeeded = false;
    DriverSwitchHelper helper(root);
    if (writer == QLatin1String("modprobe edit")) {
        succeeded = ModprobeEditor(root).commentOutEntries(QStringLiteral("blacklist"), toNouveau);
    } else if (writer == QLatin1String("blacklist line")) {
        succeeded = ModprobeEditor(root).appendBlacklistEntry(toNouveau);
    } else if (writer == QLatin1String("driver snippet")) {
        succeeded =
            helper.replace({{QStringLiteral("data"), QVariantList{entry(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia"))}}})
                .succeeded();
    } else if (writer == QLatin1String("tearing snippet")) {
        succeeded = helper
                        .tearing({{QStringLiteral("vendor"), QStringLiteral("intel")},
                                  {QStringLiteral("driverName"), QStringLiteral("intel")},
                                  {QStringLiteral("shouldEnable"), QStringLiteral("true")}})
                        .succeeded();
    } else {
        const BackupRestorer restorer(root);
        succeeded = restorer.restore(restorer.plan(), [](const BackupRestorer::Copy &) {}).isEmpty();
    }

    // The new file needs all its pages while the old one still exists.
    const bool fits = (expected.size() + 4095) / 4096 <= freePages;
    QCOMPARE(succeeded, fits);
    QCOMPARE(TestFiles::read(root + file), fits ? expected : old);
    QCOMPARE(QDir(root + QFileInfo(file).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), filesBefore);
    struct stat info;
    QCOMPARE(stat(path.constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
    QCOMPARE(int(info.st_uid), 1234);
    QCOMPARE(int(info.st_gid), 44);
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

void HelperTest::replaceKeepsOtherGpusSections()
{
    // The command line sends only the GPU it switches: the driver pinned earlier for
    // another GPU stays, the GPU's own section is replaced where it stands, and
    // sections of earlier requests are never written twice.
    Root root;
    DriverSwitchHelper helper(root.dir.path());
    const auto request = [](const QString &classId, const QString &busId, const QString &driver) {
        return QVariantMap{{QStringLiteral("data"), QVariantList{entry(classId, busId, driver)}}};
    };
    QVERIFY(root.write(XorgConfig::driverSnippetPath(), "# kept\n"));
    QVERIFY(helper.replace(request(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("intel"))).succeeded());
    QVERIFY(helper.replace(request(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia"))).succeeded());
    QVERIFY(helper.replace(request(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting"))).succeeded());
    QVERIFY(helper.replace(request(QStringLiteral("0302"), QStringLiteral("PCI:1@0:0:0"), QString())).succeeded());
    QCOMPARE(QString::fromLatin1(root.read(XorgConfig::driverSnippetPath())),
             QStringLiteral("# kept\n") + section(QStringLiteral("GPU PCI:0@0:2:0"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting"))
                 + section(QStringLiteral("GPU PCI:1@0:0:0"), QStringLiteral("PCI:1@0:0:0"), QStringLiteral("nvidia")));
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
    // Sent first; the helper handles 3D controllers last, but names the entry as sent.
    const QVariantList data{bad, entry(QStringLiteral("0300"), QStringLiteral("PCI:0@0:2:0"), QStringLiteral("modesetting"))};
    const KAuth::ActionReply reply = helper.replace({{QStringLiteral("data"), data}});
    QVERIFY(!reply.succeeded());
    QVERIFY2(reply.errorDescription().startsWith(QLatin1String("Refused request: entry 1 has an invalid ")), qPrintable(reply.errorDescription()));
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
    QVERIFY(backup.backupOnce());
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/a.conf")), QByteArray("blacklist nouveau\n"));
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/xorg.conf.d/10-x.conf")), QByteArray("Section \"Device\"\nEndSection\n"));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/a.conf"), "#blacklist nouveau\n"));
    QVERIFY(backup.backupOnce());
    QCOMPARE(root.read(QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/a.conf")), QByteArray("blacklist nouveau\n"));
    // The marker is still made, for whatever looks for it.
    QVERIFY(QFileInfo(backup.markerPath()).isFile());

    // After a reboot (an empty /run) the next backup replaces the old one as a
    // whole: a file gone since is not put back by a restore.
    QVERIFY(QFile::remove(backup.bootRecordPath()));
    QVERIFY(QFile::remove(root.path(QStringLiteral("/etc/modprobe.d/a.conf"))));
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/b.conf"), "options b x=1\n"));
    QVERIFY(backup.backupOnce());
    QMap<QString, QByteArray> files = root.snapshot(QStringLiteral("/usr/share/kiv-admin-driver"));
    for (auto it = files.begin(); it != files.end();) {
        it = it.key().endsWith(ConfigurationBackup::recordName()) ? files.erase(it) : std::next(it);
    }
    QCOMPARE(
        files.keys(),
        (QStringList{QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/b.conf"), QStringLiteral("/usr/share/kiv-admin-driver/xorg.conf.d/10-x.conf")}));
}

void HelperTest::backupPrecedesEveryChange_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("succeeds"); // the change is made, after a backup
    QTest::newRow("first change") << QStringLiteral("none") << true;
    // Anything any user can do in /tmp neither skips the backup nor stops the change.
    QTest::newRow("a marker of root's in /tmp") << QStringLiteral("root marker") << true;
    QTest::newRow("a marker of a user's") << QStringLiteral("user marker") << true;
    QTest::newRow("a link as the marker") << QStringLiteral("link marker") << true;
    QTest::newRow("a directory as the marker") << QStringLiteral("directory marker") << true;
    QTest::newRow("/tmp unusable (out of inodes)") << QStringLiteral("no tmp") << true;
    QTest::newRow("a backup killed half-way") << QStringLiteral("leftover") << true;
    QTest::newRow("this boot's backup exists") << QStringLiteral("recorded") << true;
    // No backup: no change.
    QTest::newRow("a file over 64 MiB") << QStringLiteral("huge file") << false;
    QTest::newRow("the backup directory is a link") << QStringLiteral("linked backup") << false;
}

void HelperTest::backupPrecedesEveryChange()
{
    QFETCH(QString, setup);
    QFETCH(bool, succeeds);
    if (geteuid() != 0) {
        QSKIP("giving files to other users needs root");
    }
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\n"));
    QVERIFY(root.write(QStringLiteral("/etc/important"), "keep me\n"));
    ConfigurationBackup backup(root.dir.path());
    const QString marker = backup.markerPath();
    const QString backupDirectory = root.path(ConfigurationBackup::backupDirectory());
    const QByteArray markerPath = QFile::encodeName(marker);
    if (setup.endsWith(QLatin1String("marker")) && setup != QLatin1String("link marker") && setup != QLatin1String("directory marker")) {
        QVERIFY(TestFiles::write(marker, QByteArray()));
        QCOMPARE(chown(markerPath.constData(), setup == QLatin1String("user marker") ? 65534 : 0, 0), 0);
    } else if (setup == QLatin1String("link marker")) {
        QVERIFY(QFile::link(root.path(QStringLiteral("/etc/important")), marker));
    } else if (setup == QLatin1String("directory marker")) {
        QVERIFY(TestFiles::write(marker + QStringLiteral("/x"), "x"));
        QCOMPARE(chown(markerPath.constData(), 65534, 65534), 0);
    } else if (setup == QLatin1String("no tmp")) {
        QVERIFY(QDir(root.path(QStringLiteral("/tmp"))).removeRecursively());
        QVERIFY(root.write(QStringLiteral("/tmp"), "not a directory"));
    } else if (setup == QLatin1String("leftover")) {
        QVERIFY(TestFiles::write(backupDirectory + QStringLiteral("/.staging-AbC123/modprobe.d/old.conf"), "old\n"));
    } else if (setup == QLatin1String("recorded")) {
        QVERIFY(backup.backupOnce());
        QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"), "blacklist nouveau\n# changed after the backup\n"));
    } else if (setup == QLatin1String("huge file")) {
        QFile huge(root.path(QStringLiteral("/etc/X11/xorg.conf.d/huge.conf")));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(64 * 1024 * 1024 + 1));
    } else if (setup == QLatin1String("linked backup")) {
        QVERIFY(QDir().mkpath(root.path(QStringLiteral("/home/user/backup"))));
        QVERIFY(QFile::link(root.path(QStringLiteral("/home/user/backup")), backupDirectory));
        QCOMPARE(lchown(QFile::encodeName(backupDirectory).constData(), 65534, 65534), 0);
    }
    const QByteArray before = root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf"));

    DriverSwitchHelper helper(root.dir.path());
    const KAuth::ActionReply reply = helper.replace(nvidiaToNouveau());
    QCOMPARE(reply.succeeded(), succeeds);
    if (!succeeds) {
        QCOMPARE(reply.errorDescription(), QStringLiteral("The configuration could not be backed up, so nothing was changed"));
        QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), before);
        QVERIFY(!QFileInfo::exists(root.path(blacklistFile)));
        QVERIFY(!backup.hasBootBackup());
        QVERIFY(QDir(root.path(QStringLiteral("/home/user/backup"))).isEmpty());
        return;
    }
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/nouveau-off.conf")), QByteArray('#' + before));
    const QByteArray backedUp = setup == QLatin1String("recorded") ? QByteArray("blacklist nouveau\n") : before;
    QCOMPARE(root.read(ConfigurationBackup::backupDirectory() + QStringLiteral("/modprobe.d/nouveau-off.conf")), backedUp);
    QVERIFY(backup.hasBootBackup());
    QCOMPARE(root.read(QStringLiteral("/etc/important")), QByteArray("keep me\n"));
    QVERIFY(QDir(backupDirectory).entryList({QStringLiteral(".staging-*")}, QDir::AllEntries | QDir::Hidden).isEmpty());
    // No second backup of this boot: the next change keeps the first one.
    QVERIFY(helper.replace(nvidiaToNouveau()).succeeded());
    QCOMPARE(root.read(ConfigurationBackup::backupDirectory() + QStringLiteral("/modprobe.d/nouveau-off.conf")), backedUp);
}

void HelperTest::backupKeepsOwnershipApart()
{
    if (geteuid() != 0) {
        QSKIP("giving files to other users needs root");
    }
    // Copies are root's and readable by root only, whatever the originals; the
    // restore gives each file back the owner and mode the record holds.
    Root root;
    const QString secret = QStringLiteral("/etc/modprobe.d/secret.d/hidden.conf");
    QVERIFY(root.write(secret, "blacklist nouveau\n"));
    const QByteArray secretPath = QFile::encodeName(root.path(secret));
    QCOMPARE(chown(secretPath.constData(), 1234, 44), 0);
    QCOMPARE(chmod(secretPath.constData(), 0640), 0);
    QCOMPARE(chmod(QFile::encodeName(root.path(QStringLiteral("/etc/modprobe.d/secret.d"))).constData(), 0700), 0);
    // What a killed write leaves is nobody's configuration.
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/.nouveau.conf.Xy12Zw"), "blacklist half\n"));
    QVERIFY(ConfigurationBackup(root.dir.path()).backupOnce());

    const QString backup = root.path(ConfigurationBackup::backupDirectory());
    QDirIterator it(backup, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    QStringList entries{backup};
    while (it.hasNext()) {
        entries.append(it.next());
    }
    for (const QString &entry : std::as_const(entries)) {
        struct stat info;
        QCOMPARE(lstat(QFile::encodeName(entry).constData(), &info), 0);
        QCOMPARE(int(info.st_uid), 0);
        QVERIFY2((info.st_mode & 077) == 0, qPrintable(entry));
    }
    QVERIFY(!QFileInfo::exists(backup + QStringLiteral("/modprobe.d/.nouveau.conf.Xy12Zw")));

    QVERIFY(root.write(secret, "changed\n"));
    QCOMPARE(chown(secretPath.constData(), 0, 0), 0);
    QCOMPARE(chmod(secretPath.constData(), 0666), 0);
    const BackupRestorer restorer(root.dir.path());
    QCOMPARE(restorer.untrustedEntries(), QStringList());
    QCOMPARE(restorer.missingDirectories(), QStringList());
    QCOMPARE(restorer.restore(restorer.plan(), [](const BackupRestorer::Copy &) {}), QStringList());
    QCOMPARE(root.read(secret), QByteArray("blacklist nouveau\n"));
    struct stat info;
    QCOMPARE(stat(secretPath.constData(), &info), 0);
    QCOMPARE(int(info.st_uid), 1234);
    QCOMPARE(int(info.st_gid), 44);
    QCOMPARE(int(info.st_mode & 07777), 0640);
}

void HelperTest::restoreRefusesUntrustedBackup_data()
{
    QTest::addColumn<QString>("entry"); // below the backup directory
    QTest::addColumn<QString>("kind");
    QTest::newRow("backup directory is a link") << QString() << QStringLiteral("link");
    QTest::newRow("a directory of it is a link") << QStringLiteral("/modprobe.d") << QStringLiteral("link");
    QTest::newRow("a copy of a user's") << QStringLiteral("/modprobe.d/a.conf") << QStringLiteral("user");
    QTest::newRow("a directory of a user's") << QStringLiteral("/xorg.conf.d") << QStringLiteral("user");
    QTest::newRow("a copy others may write") << QStringLiteral("/modprobe.d/a.conf") << QStringLiteral("writable");
    QTest::newRow("a group-writable directory") << QStringLiteral("/modprobe.d") << QStringLiteral("writable");
}

void HelperTest::restoreRefusesUntrustedBackup()
{
    QFETCH(QString, entry);
    QFETCH(QString, kind);
    if (geteuid() != 0) {
        QSKIP("giving files to other users needs root");
    }
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/a.conf"), "blacklist nouveau\n"));
    QVERIFY(ConfigurationBackup(root.dir.path()).backupOnce());
    const QString path = root.path(ConfigurationBackup::backupDirectory() + entry);
    const QByteArray encoded = QFile::encodeName(path);
    if (kind == QLatin1String("link")) {
        // The user's own tree, put where the backup was.
        const QString elsewhere = root.path(QStringLiteral("/home/user/tree"));
        QVERIFY(QDir().mkpath(root.path(QStringLiteral("/home/user"))));
        QVERIFY(QDir().rename(path, elsewhere));
        QVERIFY(QFile::link(elsewhere, path));
    } else if (kind == QLatin1String("user")) {
        QCOMPARE(chown(encoded.constData(), 65534, 65534), 0);
    } else {
        QCOMPARE(chmod(encoded.constData(), QFileInfo(path).isDir() ? 0770 : 0602), 0);
    }
    const QStringList untrusted = BackupRestorer(root.dir.path()).untrustedEntries();
    QCOMPARE(untrusted.size(), 1);
    QVERIFY2(untrusted.first().startsWith(path + QLatin1String(": ")), qPrintable(untrusted.first()));
}

void HelperTest::partialBackupLeavesOtherFilesAlone()
{
    // A backup without xorg.conf.d (cut short, or of an earlier version) says
    // nothing of that directory: a snippet there is not taken for one written
    // after the backup. One whose directory did not exist at all does.
    Root root;
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/a.conf"), "blacklist nouveau\n"));
    QVERIFY(ConfigurationBackup(root.dir.path()).backupOnce());
    QVERIFY(QDir(root.path(ConfigurationBackup::backupDirectory() + QStringLiteral("/xorg.conf.d"))).removeRecursively());
    QVERIFY(root.write(XorgConfig::tearingSnippetPath(QStringLiteral("intel")), "Section \"Device\"\nEndSection\n"));
    QVERIFY(root.write(blacklistFile, "blacklist nvidia\n"));
    const BackupRestorer restorer(root.dir.path());
    QCOMPARE(restorer.missingDirectories(), QStringList{QStringLiteral("/etc/X11/xorg.conf.d")});
    QStringList removed;
    QCOMPARE(restorer.restore(restorer.plan(),
                              [&removed](const BackupRestorer::Copy &copy) {
                                  removed.append(copy.to);
                              }),
             QStringList());
    QCOMPARE(removed, QStringList{root.path(blacklistFile)});
    QCOMPARE(root.read(XorgConfig::tearingSnippetPath(QStringLiteral("intel"))), QByteArray("Section \"Device\"\nEndSection\n"));
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
    QVERIFY(helper.replace(nvidiaToNouveau()).succeeded());
    QVERIFY(root.snapshot(QStringLiteral("/etc")) != before);

    const BackupRestorer restorer(root.dir.path());
    QVERIFY(restorer.hasBackup());
    const QList<BackupRestorer::Copy> plan = restorer.plan();
    QStringList restored;
    QCOMPARE(restorer.restore(plan,
                              [&restored](const BackupRestorer::Copy &copy) {
                                  restored.append(copy.to);
                              }),
             QStringList());
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

void HelperTest::restoreUndoesTheSwitch_data()
{
    QTest::addColumn<QString>("file"); // the file the switch edits
    QTest::addColumn<QString>("link"); // a link to it (or its directory) in a modprobe directory
    QTest::addColumn<QString>("target");
    QTest::newRow("plain file") << QStringLiteral("/etc/modprobe.d/nouveau-off.conf") << QString() << QString();
    QTest::newRow("relative link") << QStringLiteral("/etc/vendor/nouveau-off.conf") << QStringLiteral("/etc/modprobe.d/nouveau-off.conf")
                                   << QStringLiteral("../vendor/nouveau-off.conf");
    QTest::newRow("link to a directory") << QStringLiteral("/opt/vendor/modprobe/nouveau-off.conf") << QStringLiteral("/etc/modprobe.d/vendor")
                                         << QStringLiteral("@/opt/vendor/modprobe");
    QTest::newRow("file in /lib/modprobe.d") << QStringLiteral("/lib/modprobe.d/nouveau-off.conf") << QString() << QString();
}

void HelperTest::restoreUndoesTheSwitch()
{
    QFETCH(QString, file);
    QFETCH(QString, link);
    QFETCH(QString, target);
    Root root;
    QVERIFY(root.write(file, "blacklist nouveau\nalias nouveau off\n"));
    if (!link.isEmpty()) {
        // "@" marks a target inside the test's root.
        QVERIFY(QFile::link(target.startsWith(QLatin1Char('@')) ? root.path(target.mid(1)) : target, root.path(link)));
    }
    const auto before = root.configuration();
    DriverSwitchHelper helper(root.dir.path());
    QVERIFY(helper.replace(nvidiaToNouveau()).succeeded());
    QCOMPARE(root.read(file), QByteArray("#blacklist nouveau\n#alias nouveau off\n"));

    const BackupRestorer restorer(root.dir.path());
    QCOMPARE(restorer.restore(restorer.plan(), [](const BackupRestorer::Copy &) {}), QStringList());
    QCOMPARE(root.configuration(), before);
    if (!link.isEmpty()) {
        QVERIFY(QFileInfo(root.path(link)).isSymLink());
    }
}

void HelperTest::restoreNamesWhatItCannotPutBack()
{
    // Backups of earlier versions held links as links: one that dangles, or leads
    // out of the backup, holds no content to put back. The restore goes on with the
    // other files and names each one it could not restore.
    Root root;
    const QString backup = QStringLiteral("/usr/share/kiv-admin-driver/modprobe.d/");
    QVERIFY(root.write(backup + QStringLiteral("good.conf"), "blacklist radeon\n"));
    QVERIFY(QFile::link(QStringLiteral("../../lib/modprobe.d/vendor.conf"), root.path(backup + QStringLiteral("vendor.conf"))));
    QVERIFY(QFile::link(root.path(QStringLiteral("/etc/elsewhere.conf")), root.path(backup + QStringLiteral("outside.conf"))));
    QVERIFY(root.write(QStringLiteral("/etc/elsewhere.conf"), "x\n"));
    QCOMPARE(mkfifo(QFile::encodeName(root.path(backup + QStringLiteral("fifo.conf"))).constData(), 0644), 0);
    QVERIFY(root.write(QStringLiteral("/etc/modprobe.d/vendor.conf"), "#blacklist nvidia\n"));

    const BackupRestorer restorer(root.dir.path());
    QStringList restored;
    const QStringList failures = restorer.restore(restorer.plan(), [&restored](const BackupRestorer::Copy &copy) {
        restored.append(copy.to);
    });
    QCOMPARE(restored, QStringList{root.path(QStringLiteral("/etc/modprobe.d/good.conf"))});
    QCOMPARE(failures.size(), 3);
    for (const QString &name : {QStringLiteral("fifo.conf"), QStringLiteral("outside.conf"), QStringLiteral("vendor.conf")}) {
        QVERIFY2(std::any_of(failures.cbegin(),
                             failures.cend(),
                             [&](const QString &failure) {
                                 return failure.startsWith(root.path(QStringLiteral("/etc/modprobe.d/") + name + QLatin1String(": ")));
                             }),
                 qPrintable(failures.join(QLatin1Char('\n'))));
    }
    QCOMPARE(root.read(QStringLiteral("/etc/modprobe.d/vendor.conf")), QByteArray("#blacklist nvidia\n"));
}

QTEST_GUILESS_MAIN(HelperTest)
void HelperTest::aptStatusLines_data()
{
    // What apt-get writes to its status descriptor, as read for the progress bar
    // and for the failure's text.
    using Kind = AptGetPackageBackend::Status::Kind;
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("package");
    QTest::addColumn<double>("percent");
    QTest::addColumn<QString>("text");
    QTest::newRow("download") << QByteArray("dlstatus:1:9.0909:Retrieving file 1 of 2") << int(Kind::Download) << QStringLiteral("1") << 9.0909
                              << QStringLiteral("Retrieving file 1 of 2");
    QTest::newRow("package, architecture and colons in the text")
        << QByteArray("pmstatus:nvidia-driver:amd64:42.5:Configuring nvidia-driver:amd64 (time: 3 s)") << int(Kind::Package) << QStringLiteral("nvidia-driver")
        << 42.5 << QStringLiteral("Configuring nvidia-driver:amd64 (time: 3 s)");
    QTest::newRow("error") << QByteArray("pmerror:kiv-broken-driver:66.6667:installed post-installation script subprocess returned error exit status 1\n")
                           << int(Kind::Error) << QStringLiteral("kiv-broken-driver") << 66.6667
                           << QStringLiteral("installed post-installation script subprocess returned error exit status 1");
    QTest::newRow("percent out of range") << QByteArray("pmstatus:x:250:Installing x") << int(Kind::Package) << QStringLiteral("x") << 0.0
                                          << QStringLiteral("Installing x");
    QTest::newRow("unknown kind") << QByteArray("pmfuture:x:1:y") << int(Kind::None) << QString() << 0.0 << QString();
    QTest::newRow("too few fields") << QByteArray("pmstatus:x:1") << int(Kind::None) << QString() << 0.0 << QString();
    QTest::newRow("empty") << QByteArray() << int(Kind::None) << QString() << 0.0 << QString();
}

void HelperTest::aptStatusLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, kind);
    QFETCH(QString, package);
    QFETCH(double, percent);
    QFETCH(QString, text);
    const AptGetPackageBackend::Status status = AptGetPackageBackend::parseStatusLine(line);
    QCOMPARE(int(status.kind), kind);
    QCOMPARE(status.package, package);
    QCOMPARE(status.percent, percent);
    QCOMPARE(status.text, text);
}

#include "helpertest.moc"
