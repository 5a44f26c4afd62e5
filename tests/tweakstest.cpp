// SPDX-License-Identifier: GPL-2.0-or-later
// The advanced settings dialog and its tweaks, offscreen, in a temporary home,
// with stand-ins for nvidia-settings and glmark2 (programs the tweaks start).
#include "tweaks.h"
#include "benchmark.h"
#include "device.h"
#include "fallbacktearinghandler.h"
#include "nvidiatearinghandler.h"
#include "picomconfig.h"
#include "testfiles.h"
#include "xorgtearinghandler.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Answers modal boxes from a repeating timer and keeps their texts.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            auto *buttons = box ? box->findChild<QDialogButtonBox *>() : nullptr;
            if (!buttons || box->objectName() == QLatin1String("Tweaks")) {
                return;
            }
            QStringList labels;
            for (const QLabel *label : box->findChildren<QLabel *>()) {
                if (!label->text().isEmpty()) {
                    labels.append(label->text());
                }
            }
            texts.append(labels.join(QLatin1Char('|')));
            QPushButton *button = buttons->button(QDialogButtonBox::No) ? buttons->button(QDialogButtonBox::No) : buttons->button(QDialogButtonBox::Ok);
            QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
        });
        m_timer.start(10);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

// A temporary home, set as HOME, with a folder for stand-in programs.
class Home
{
public:
    Home()
    {
        qputenv("HOME", QFile::encodeName(dir.path()));
        // Where picom looks, as the session's environment says.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/.config")));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(dir.path() + QStringLiteral("/xdg")));
        QDir().mkpath(dir.path() + QStringLiteral("/.config"));
        QDir().mkpath(programs());
    }
    QString path(const QString &relative) const
    {
        return dir.path() + QLatin1Char('/') + relative;
    }
    QString programs() const
    {
        return dir.path() + QStringLiteral("/bin/");
    }
    bool program(const QString &name, const QByteArray &script) const
    {
        return TestFiles::write(programs() + name, "#!/bin/sh\n" + script)
            && QFile::setPermissions(programs() + name, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    QByteArray read(const QString &relative) const
    {
        return TestFiles::read(path(relative));
    }
    QTemporaryDir dir;
};

QCheckBox *box(const AbstractTweak *tweak, const char *name)
{
    return tweak->getTweakWidget()->findChild<QCheckBox *>(QLatin1String(name));
}
}

class TweaksTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handlerFollowsTheXorgDriver_data();
    void handlerFollowsTheXorgDriver();
    void loadFailuresLeaveOnlyTheBenchmark_data();
    void loadFailuresLeaveOnlyTheBenchmark();
    void picomIncludesTheTweaks_data();
    void picomIncludesTheTweaks();
    void picomConfigurationLeftAlone_data();
    void picomConfigurationLeftAlone();
    void picomFileStaysTheSameFile();
    void profileSurvivesAFullDisk_data();
    void profileSurvivesAFullDisk();
    void independentStateIsRead();
    void nvidiaVariant_data();
    void nvidiaVariant();
    void profileBlockUnderLoginShells_data();
    void profileBlockUnderLoginShells();
    void tearFreeIsReadBack_data();
    void tearFreeIsReadBack();
    void failedApplyIsReported();
    void benchmarkScores();
    void benchmarkNotAvailable_data();
    void benchmarkNotAvailable();
};

void TweaksTest::handlerFollowsTheXorgDriver_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QByteArray>("nvidiaSettings"); // empty: not installed
    QTest::addColumn<QString>("handler");
    QTest::newRow("nvidia, nvidia-settings works") << QStringLiteral("nvidia") << QByteArray("exit 0") << QStringLiteral("nvidia");
    QTest::newRow("nvidia, nvidia-settings missing") << QStringLiteral("nvidia") << QByteArray() << QStringLiteral("fallback");
    QTest::newRow("nvidia, nvidia-settings fails") << QStringLiteral("nvidia") << QByteArray("exit 1") << QStringLiteral("fallback");
    // Takes the 30 s the query is waited for.
    QTest::newRow("nvidia, the query does not answer")
        << QStringLiteral("nvidia") << QByteArray("[ \"$1\" = -q ] && exec sleep 60\nexit 0") << QStringLiteral("fallback");
    QTest::newRow("NVIDIA tag") << QStringLiteral("NVIDIA") << QByteArray("exit 0") << QStringLiteral("nvidia");
    QTest::newRow("intel alone") << QStringLiteral("intel") << QByteArray() << QStringLiteral("fallback");
    QTest::newRow("intel and i915") << QStringLiteral("intel-i915") << QByteArray() << QStringLiteral("intel");
    QTest::newRow("amdgpu") << QStringLiteral("amdgpu") << QByteArray() << QStringLiteral("amd");
    QTest::newRow("AMDGPU tag") << QStringLiteral("AMDGPU") << QByteArray() << QStringLiteral("amd");
    QTest::newRow("radeon") << QStringLiteral("radeon") << QByteArray() << QStringLiteral("fallback");
    QTest::newRow("modesetting") << QStringLiteral("modesetting") << QByteArray() << QStringLiteral("fallback");
    QTest::newRow("no driver") << QString() << QByteArray() << QStringLiteral("fallback");
}

void TweaksTest::handlerFollowsTheXorgDriver()
{
    QFETCH(QString, driver);
    QFETCH(QByteArray, nvidiaSettings);
    QFETCH(QString, handler);
    Home home;
    if (!nvidiaSettings.isEmpty()) {
        QVERIFY(home.program(QStringLiteral("nvidia-settings"), nvidiaSettings));
    }
    // The vendor of an XOrg handler shows in the snippet it reads: only Intel's
    // says TearFree is on.
    QTemporaryDir root;
    QVERIFY(TestFiles::write(root.path() + QStringLiteral("/etc/X11/xorg.conf.d/20-intel-tearing.conf"), "    Option \"TearFree\" \"true\"\n"));
    Device gpu;
    gpu.updateXOrgDriver(driver);
    Tweaks tweaks(gpu, nullptr, {home.programs(), root.path()});
    tweaks.addTearingHandler();
    AbstractTearingHandler *tweak = tweaks.tearingTweak();
    QVERIFY(tweak);
    const QString found = dynamic_cast<NvidiaTearingHandler *>(tweak) ? QStringLiteral("nvidia")
        : dynamic_cast<XOrgTearingHandler *>(tweak) ? (box(tweak, "tearingBox")->isChecked() ? QStringLiteral("intel") : QStringLiteral("amd"))
                                                    : QStringLiteral("fallback");
    QCOMPARE(found, handler);
    QVERIFY(dynamic_cast<FallbackTearingHandler *>(tweak) || handler != QLatin1String("fallback"));
}

void TweaksTest::loadFailuresLeaveOnlyTheBenchmark_data()
{
    QTest::addColumn<QString>("driver");
    QTest::newRow("AMD's handler, then the fallback") << QStringLiteral("amdgpu");
    // A failed fallback is replaced by a new one all the same, which fails too.
    QTest::newRow("the fallback, then the fallback again") << QStringLiteral("modesetting");
}

void TweaksTest::loadFailuresLeaveOnlyTheBenchmark()
{
    QFETCH(QString, driver);
    Home home;
    // A tweaks file that cannot be read: both the handler and its fallback fail.
    QVERIFY(QDir().mkpath(AbstractTearingHandler::tweaksFilePath()));
    Device gpu;
    gpu.updateXOrgDriver(driver);
    Tweaks tweaks(gpu, nullptr, {home.programs(), QString()});
    BoxAnswerer answerer;
    bool okEnabled = true;
    int groups = 0;
    QTimer::singleShot(200, &tweaks, [&] {
        okEnabled = tweaks.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->isEnabled();
        groups = tweaks.findChildren<QGroupBox *>().size();
        tweaks.reject();
    });
    tweaks.exec();
    QVERIFY(!tweaks.tearingTweak());
    QCOMPARE(answerer.texts,
             (QStringList{QStringLiteral("Cannot read existing tweaks config file"), QStringLiteral("Cannot read existing tweaks config file")}));
    // Only the benchmark's group, and no OK: there is nothing to apply.
    QCOMPARE(groups, 1);
    QVERIFY(!okEnabled);
}

void TweaksTest::picomIncludesTheTweaks_data()
{
    QTest::addColumn<QString>("config"); // the file that exists, relative to the temporary home; "" for none
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("edited"); // the file that takes the include
    QTest::addColumn<QByteArray>("after"); // of edited, prevention on
    QTest::addColumn<QByteArray>("settings"); // what the tweaks file sets
    QTest::addColumn<QByteArray>("restored"); // of edited, prevention off again
    const QByteArray ours("@include \"kiv-admin-driver-picom.conf\"\n");
    const QByteArray all("backend = \"glx\";\nvsync = true;\nuse-damage = false;\n");
    QTest::newRow("no configuration at all") << QString() << QByteArray() << QStringLiteral(".config/picom.conf") << ours << all << ours;
    QTest::newRow("the system's taken over") << QStringLiteral("xdg/picom/picom.conf") << QByteArray("shadow = true;\n") << QStringLiteral(".config/picom.conf")
                                             << "shadow = true;\n" + ours << all << "shadow = true;\n" + ours;
    QTest::newRow("the user's, in its own folder") << QStringLiteral(".config/picom/picom.conf") << QByteArray("fading = true;")
                                                   << QStringLiteral(".config/picom/picom.conf")
                                                   << QByteArray("fading = true;\n@include \"../kiv-admin-driver-picom.conf\"\n") << all
                                                   << QByteArray("fading = true;\n@include \"../kiv-admin-driver-picom.conf\"\n");
    // Only a compton file: picom reads it, and so it is the one edited.
    QTest::newRow("only the old name") << QStringLiteral(".compton.conf") << QByteArray("fading = true;\n") << QStringLiteral(".compton.conf")
                                       << QByteArray("fading = true;\n@include \".config/kiv-admin-driver-picom.conf\"\n") << all
                                       << QByteArray("fading = true;\n@include \".config/kiv-admin-driver-picom.conf\"\n");
    QTest::newRow("compton's folder") << QStringLiteral(".config/compton/compton.conf") << QByteArray("fading = true;\n")
                                      << QStringLiteral(".config/compton/compton.conf")
                                      << QByteArray("fading = true;\n@include \"../kiv-admin-driver-picom.conf\"\n") << all
                                      << QByteArray("fading = true;\n@include \"../kiv-admin-driver-picom.conf\"\n");
    // Never a setting twice: the user's choices stay, a vsync that is off is set
    // aside while prevention is on.
    QTest::newRow("vsync off") << QStringLiteral(".config/picom.conf") << QByteArray("vsync = false;") << QStringLiteral(".config/picom.conf")
                               << "#kiv-admin-driver: vsync = false;\n" + ours << all << "vsync = false;\n" + ours;
    QTest::newRow("vsync on already") << QStringLiteral(".config/picom.conf") << QByteArray("vsync = true # mine, no \";\"\n")
                                      << QStringLiteral(".config/picom.conf") << "vsync = true # mine, no \";\"\n" + ours
                                      << QByteArray("backend = \"glx\";\nuse-damage = false;\n") << "vsync = true # mine, no \";\"\n" + ours;
    QTest::newRow("our include with a comment after it")
        << QStringLiteral(".config/picom.conf") << QByteArray("@include \"kiv-admin-driver-picom.conf\" # tearing\n") << QStringLiteral(".config/picom.conf")
        << QByteArray("@include \"kiv-admin-driver-picom.conf\" # tearing\n") << all << QByteArray("@include \"kiv-admin-driver-picom.conf\" # tearing\n");
    // libconfig takes nested includes from the main file's folder.
    QTest::newRow("a backend in a nested include") << QStringLiteral(".config/picom.conf")
                                                   << QByteArray("/* @include \"nowhere.conf\" */\n@include \"conf.d/a.conf\"\n")
                                                   << QStringLiteral(".config/picom.conf")
                                                   << "/* @include \"nowhere.conf\" */\n@include \"conf.d/a.conf\"\n" + ours
                                                   << QByteArray("vsync = true;\nuse-damage = false;\n")
                                                   << "/* @include \"nowhere.conf\" */\n@include \"conf.d/a.conf\"\n" + ours;
    QTest::newRow("a backend and damage of the user's")
        << QStringLiteral(".config/picom.conf") << QByteArray("backend = \"xrender\"\nuse-damage:true;\nwintypes: { dock = { vsync = false; }; };\n")
        << QStringLiteral(".config/picom.conf") << "backend = \"xrender\"\nuse-damage:true;\nwintypes: { dock = { vsync = false; }; };\n" + ours
        << QByteArray("vsync = true;\n") << "backend = \"xrender\"\nuse-damage:true;\nwintypes: { dock = { vsync = false; }; };\n" + ours;
    // Bytes that are no UTF-8, and a NUL: everything but the include stays.
    QTest::newRow("every byte kept") << QStringLiteral(".config/picom.conf") << QByteArray("# caf\xe9\nshadow = true;\n\0# after\n", 31)
                                     << QStringLiteral(".config/picom.conf") << QByteArray("# caf\xe9\nshadow = true;\n\0# after\n", 31) + ours << all
                                     << QByteArray("# caf\xe9\nshadow = true;\n\0# after\n", 31) + ours;
    // What earlier versions wrote: an unquoted absolute path, a syntax error for picom.
    QTest::newRow("the old form replaced") << QStringLiteral(".config/picom.conf")
                                           << QByteArray("fading = true;\n\n@include @HOME@/.config/kiv-admin-driver-picom.conf\nshadow = false;\n")
                                           << QStringLiteral(".config/picom.conf") << "fading = true;\n\n" + ours + "shadow = false;\n"
                                           << all << "fading = true;\n\n" + ours + "shadow = false;\n";
}

void TweaksTest::picomIncludesTheTweaks()
{
    QFETCH(QString, config);
    QFETCH(QByteArray, before);
    QFETCH(QString, edited);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, restored);
    Home home;
    before.replace("@HOME@", QFile::encodeName(home.dir.path()));
    if (!config.isEmpty()) {
        QVERIFY(TestFiles::write(home.path(config), before));
    }
    QVERIFY(TestFiles::write(home.path(QStringLiteral(".config/conf.d/a.conf")), "@include \"b.conf\"\n"));
    QVERIFY(TestFiles::write(home.path(QStringLiteral(".config/b.conf")), "backend = \"xrender\";\n"));
    PicomConfig picom = PicomConfig::fromEnvironment(home.dir.path());
    QCOMPARE(picom.userConfig(), home.path(edited));
    const QString tweaks = AbstractTearingHandler::tweaksFilePath();
    for (int round = 0; round < 2; ++round) {
        // Twice: the second changes nothing.
        QCOMPARE(picom.setTearingPrevention(true, tweaks), PicomConfig::Done);
        QCOMPARE(home.read(edited), after);
        const QByteArray tweaksText = TestFiles::read(tweaks);
        QVERIFY(PicomConfig::isPreventionOn(tweaksText));
        QCOMPARE(tweaksText.mid(tweaksText.indexOf('\n') + 1), settings);
    }
    QCOMPARE(picom.setTearingPrevention(false, tweaks), PicomConfig::Done);
    QCOMPARE(home.read(edited), restored);
    QCOMPARE(TestFiles::read(tweaks), QByteArray());
    if (config != edited && !config.isEmpty()) {
        QCOMPARE(home.read(config), before);
    }
}

void TweaksTest::picomConfigurationLeftAlone_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::newRow("read-only") << QByteArray("shadow = true;\n") << 0444 << int(PicomConfig::WriteFailed);
    QTest::newRow("vsync off among other settings") << QByteArray("shadow = true; vsync = false;\n") << 0644 << int(PicomConfig::Conflict);
    QTest::newRow("vsync off before a comment that goes on") << QByteArray("vsync = false; /* we had\n tearing */\n") << 0644 << int(PicomConfig::Conflict);
}

void TweaksTest::picomConfigurationLeftAlone()
{
    QFETCH(QByteArray, before);
    QFETCH(int, mode);
    QFETCH(int, result);
    if (geteuid() == 0 && mode == 0444) {
        // Root may write anyway; the module must not.
    }
    Home home;
    const QString config = home.path(QStringLiteral(".config/picom.conf"));
    QVERIFY(TestFiles::write(config, before));
    QVERIFY(QFile::setPermissions(config, QFileDevice::Permissions(mode == 0444 ? 0x4444 : 0x6644)));
    PicomConfig picom = PicomConfig::fromEnvironment(home.dir.path());
    QCOMPARE(int(picom.setTearingPrevention(true, AbstractTearingHandler::tweaksFilePath())), result);
    QCOMPARE(TestFiles::read(config), before);
    // Whatever the tweaks file holds now, picom never sees vsync twice.
    if (result == PicomConfig::Conflict) {
        QVERIFY(!TestFiles::read(AbstractTearingHandler::tweaksFilePath()).contains("vsync"));
        QVERIFY(picom.problem().startsWith(config + QStringLiteral(", line 1, shares its line with other settings")));
    }
}

void TweaksTest::picomFileStaysTheSameFile()
{
    if (geteuid() != 0) {
        QSKIP("giving files to other users needs root");
    }
    // The include is appended in place: a second name of the file sees it, and
    // owner, group and mode stay (a user's file in group root included).
    Home home;
    const QString config = home.path(QStringLiteral(".config/picom.conf"));
    QVERIFY(TestFiles::write(config, "shadow = true;\n"));
    const QByteArray path = QFile::encodeName(config);
    const QByteArray second = QFile::encodeName(home.path(QStringLiteral("dotfiles-picom.conf")));
    QCOMPARE(link(path.constData(), second.constData()), 0);
    QCOMPARE(chown(path.constData(), 65534, 0), 0);
    QCOMPARE(chmod(path.constData(), 0640), 0);
    struct stat before;
    QCOMPARE(stat(path.constData(), &before), 0);
    QCOMPARE(PicomConfig::fromEnvironment(home.dir.path()).setTearingPrevention(true, AbstractTearingHandler::tweaksFilePath()), PicomConfig::Done);
    struct stat after;
    QCOMPARE(stat(path.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(int(after.st_uid), 65534);
    QCOMPARE(int(after.st_gid), 0);
    QCOMPARE(int(after.st_mode & 07777), 0640);
    QCOMPARE(TestFiles::read(QFile::decodeName(second)), QByteArray("shadow = true;\n@include \"kiv-admin-driver-picom.conf\"\n"));
}

void TweaksTest::profileSurvivesAFullDisk_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("freePages");
    for (const int size : {0, 100, 4046, 4095, 4096, 8000}) {
        for (const int pages : {0, 1}) {
            QTest::addRow("%d bytes, %d pages free", size, pages) << size << pages;
        }
    }
}

void TweaksTest::profileSurvivesAFullDisk()
{
    QFETCH(int, size);
    QFETCH(int, freePages);
    if (geteuid() != 0) {
        QSKIP("mounting a tmpfs needs root");
    }
    static const bool isolated = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QVERIFY(isolated);
    QTemporaryDir dir;
    const QByteArray mountPoint = QFile::encodeName(dir.path());
    QCOMPARE(mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m"), 0);
    const auto unmount = qScopeGuard([&mountPoint] {
        umount(mountPoint.constData());
    });
    qputenv("HOME", mountPoint);
    const QString profile = dir.path() + QStringLiteral("/.profile");
    QByteArray before = QByteArray("export EDITOR=vi\n").repeated(size / 17 + 1).left(size);
    QVERIFY(TestFiles::write(profile, before));
    QFile filler(dir.path() + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray page(4096, 'x');
    while (filler.write(page) == page.size()) { }
    const qint64 filled = filler.size() - filler.size() % 4096;
    QVERIFY(filler.resize(filled - qint64(freePages) * 4096));

    const QByteArray block = NvidiaTearingHandler::profileBlock();
    const auto pages = [](int bytes) {
        return (bytes + 4095) / 4096;
    };
    const bool fits = pages(size + block.size()) - pages(size) <= freePages;
    BoxAnswerer answerer;
    NvidiaTearingHandler handler(nullptr);
    QCOMPARE(handler.addToUserProfile(), fits);
    QCOMPARE(TestFiles::read(profile), fits ? before + block : before);
    // Once there is room, a retry adds the block once.
    QVERIFY(filler.resize(0));
    QVERIFY(handler.addToUserProfile());
    QCOMPARE(TestFiles::read(profile), before + block);
}

void TweaksTest::independentStateIsRead()
{
    Home home;
    // As earlier versions wrote it.
    QVERIFY(TestFiles::write(AbstractTearingHandler::tweaksFilePath(), "# mine\nbackend = \"glx\";\nvsync = true;\nuse-damage = false;\nshadow = true;"));
    FallbackTearingHandler handler(nullptr);
    QVERIFY(handler.loadState());
    QVERIFY(box(&handler, "independentBox")->isChecked());
    QVERIFY(box(&handler, "tearingBox")->isChecked());
    // Switched off: the tweaks file is emptied; a configuration that never
    // included it is not made to now.
    box(&handler, "tearingBox")->setChecked(false);
    QVERIFY(handler.apply());
    QCOMPARE(home.read(QStringLiteral(".config/kiv-admin-driver-picom.conf")), QByteArray());
    QCOMPARE(home.read(QStringLiteral(".config/picom.conf")), QByteArray("<missing>"));
}

void TweaksTest::nvidiaVariant_data()
{
    QTest::addColumn<QByteArray>("query"); // nvidia-settings -q CurrentMetaMode prints it
    QTest::addColumn<bool>("on");
    QTest::addColumn<QByteArray>("profile"); // "<none>": no ~/.profile
    QTest::addColumn<bool>("applies");
    QTest::addColumn<QByteArray>("profileAfter");
    const QByteArray block = NvidiaTearingHandler::profileBlock();
    QTest::newRow("pipeline on, profile gets the block") << QByteArray("Attribute 'CurrentMetaMode': DPY-0: nvidia-auto-select { ForceCompositionPipeline=On }")
                                                         << true << QByteArray("export EDITOR=vi\n") << true << "export EDITOR=vi\n" + block;
    QTest::newRow("only the full pipeline on") << QByteArray("{ ForceFullCompositionPipeline=On }") << false << QByteArray("") << true << block;
    // The old block runs nothing under dash: it gives way to the current one.
    QTest::newRow("the old block replaced") << QByteArray("{ }") << false << "x=1\n" + NvidiaTearingHandler::oldProfileBlock() + "y=2\n"
                                            << true << "x=1\n" + block + "y=2\n";
    QTest::newRow("the block is there once") << QByteArray("{ }") << false << "x=1\n" + block << true << "x=1\n" + block;
    QTest::newRow("no profile") << QByteArray("{ }") << false << QByteArray("<none>") << false << QByteArray("<missing>");
}

void TweaksTest::nvidiaVariant()
{
    QFETCH(QByteArray, query);
    QFETCH(bool, on);
    QFETCH(QByteArray, profile);
    QFETCH(bool, applies);
    QFETCH(QByteArray, profileAfter);
    Home home;
    QVERIFY(home.program(QStringLiteral("nvidia-settings"), "echo \"" + query.replace('"', "\\\"") + "\"\n"));
    if (profile != "<none>") {
        QVERIFY(TestFiles::write(home.path(QStringLiteral(".profile")), profile));
    }
    BoxAnswerer answerer;
    NvidiaTearingHandler handler(nullptr, home.programs());
    QVERIFY(handler.loadState());
    QCOMPARE(box(&handler, "tearingBox")->isChecked(), on);
    box(&handler, "tearingBox")->setChecked(true);
    QCOMPARE(handler.apply(), applies);
    // The command file is written either way.
    QCOMPARE(home.read(QStringLiteral(".config/kiv-admin-driver-nvidia.tweak")),
             QByteArray("nvidia-settings --assign CurrentMetaMode=\"nvidia-auto-select +0+0 { ForceFullCompositionPipeline = On }\""));
    QCOMPARE(home.read(QStringLiteral(".profile")), profileAfter);
    QCOMPARE(answerer.texts, applies ? QStringList() : QStringList{QStringLiteral("Cannot read profile file")});
}

void TweaksTest::profileBlockUnderLoginShells_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<bool>("commandFile");
    for (const QString &shell : {QStringLiteral("/bin/dash"), QStringLiteral("/bin/bash")}) {
        QTest::addRow("%s, command file", qPrintable(shell)) << shell << true;
        QTest::addRow("%s, no command file", qPrintable(shell)) << shell << false;
    }
}

void TweaksTest::profileBlockUnderLoginShells()
{
    QFETCH(QString, shell);
    QFETCH(bool, commandFile);
    Home home;
    // nvidia-settings that records its arguments, then fails as without NVIDIA hardware.
    QVERIFY(home.program(QStringLiteral("nvidia-settings"), "echo \"$@\" >> \"$HOME/calls\"\nexit 1\n"));
    QVERIFY(TestFiles::write(home.path(QStringLiteral(".profile")), "PATH=\"$HOME/bin:$PATH\"\n"));
    NvidiaTearingHandler handler(nullptr, home.programs());
    QVERIFY(handler.writeNvidiaCommand(true));
    if (!commandFile) {
        QVERIFY(QFile::remove(NvidiaTearingHandler::commandFilePath()));
    }
    // As a display manager's session script reads it: with -e, then goes on.
    QProcess login;
    login.start(shell, {QStringLiteral("-e"), QStringLiteral("-c"), QStringLiteral(". \"$HOME/.profile\"; echo session goes on")});
    QVERIFY(login.waitForFinished(10000));
    QCOMPARE(login.readAllStandardError(), QByteArray());
    QCOMPARE(login.readAllStandardOutput(), QByteArray("session goes on\n"));
    QCOMPARE(home.read(QStringLiteral("calls")),
             commandFile ? QByteArray("--assign CurrentMetaMode=nvidia-auto-select +0+0 { ForceFullCompositionPipeline = On }\n") : QByteArray("<missing>"));
}

void TweaksTest::tearFreeIsReadBack_data()
{
    QTest::addColumn<QByteArray>("snippet"); // "<none>": no file
    QTest::addColumn<bool>("checkedBefore");
    QTest::addColumn<bool>("checked");
    const QByteArray head("Section \"Device\"\n    Identifier \"Intel Graphics\"\n    Driver \"amdgpu\"\n");
    QTest::newRow("no snippet") << QByteArray("<none>") << true << false;
    QTest::newRow("false") << head + "    Option \"TearFree\" \"false\"\nEndSection\n" << true << false;
    QTest::newRow("true") << head + "    Option \"TearFree\" \"true\"\nEndSection\n" << false << true;
    QTest::newRow("True") << head + "    Option \"TearFree\" \"True\"\nEndSection\n" << true << false;
    QTest::newRow("trailing text keeps the box") << head + "    Option \"TearFree\" \"true\" # on\nEndSection\n" << true << true;
}

void TweaksTest::tearFreeIsReadBack()
{
    QFETCH(QByteArray, snippet);
    QFETCH(bool, checkedBefore);
    QFETCH(bool, checked);
    Home home;
    QTemporaryDir root;
    if (snippet != "<none>") {
        QVERIFY(TestFiles::write(root.path() + QStringLiteral("/etc/X11/xorg.conf.d/20-amd-tearing.conf"), snippet));
    }
    XOrgTearingHandler handler(QStringLiteral("amd"), QStringLiteral("amdgpu"), nullptr, root.path());
    box(&handler, "tearingBox")->setChecked(checkedBefore);
    QVERIFY(handler.loadDependent());
    QCOMPARE(box(&handler, "tearingBox")->isChecked(), checked);
}

void TweaksTest::failedApplyIsReported()
{
    // No system bus: the helper's "tearing" cannot run.
    Home home;
    Device gpu;
    gpu.updateXOrgDriver(QStringLiteral("amdgpu"));
    QTemporaryDir root;
    Tweaks tweaks(gpu, nullptr, {home.programs(), root.path()});
    BoxAnswerer answerer;
    QTimer::singleShot(200, &tweaks, [&tweaks] {
        tweaks.findChild<QCheckBox *>(QStringLiteral("tearingBox"))->setChecked(true);
        tweaks.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    tweaks.exec();
    QTRY_COMPARE(answerer.texts, QStringList{QStringLiteral("Following tweaks failed to apply: Tearing prevention")});
}

void TweaksTest::benchmarkScores()
{
    Home home;
    // glmark2 prints the score of home/next-output.
    QVERIFY(home.program(QStringLiteral("glmark2"),
                         "[ \"$1\" = -h ] && exit 0\ncat \"$HOME/next-output\"\nexit \"$(cat \"$HOME/next-exit\" 2>/dev/null || echo 0)\"\n"));
    QWidget dialog;
    BoxAnswerer answerer;
    const auto run = [&](Benchmark &benchmark, const QByteArray &output, const QByteArray &exitCode) {
        TestFiles::write(home.path(QStringLiteral("next-output")), output);
        TestFiles::write(home.path(QStringLiteral("next-exit")), exitCode);
        const int boxes = answerer.texts.size();
        const QString current = dialog.findChild<QLabel *>(QStringLiteral("currentScoreLabel"))->text();
        benchmark.getTweakWidget()->findChild<QPushButton *>(QStringLiteral("launchButton"))->click();
        return QTest::qWaitFor(
            [&] {
                return answerer.texts.size() > boxes || dialog.findChild<QLabel *>(QStringLiteral("currentScoreLabel"))->text() != current;
            },
            10000);
    };
    const auto labels = [&dialog]() -> QString {
        return dialog.findChild<QLabel *>(QStringLiteral("currentScoreLabel"))->text() + QLatin1Char('/')
            + dialog.findChild<QLabel *>(QStringLiteral("previousScoreLabel"))->text();
    };
    {
        Benchmark benchmark(QStringLiteral("glmark2"), &dialog, home.programs());
        QCOMPARE(labels(), QStringLiteral("-/-"));
        QVERIFY(run(benchmark, "=== glmark2 ===\n    glmark2 Score: 1234 \n", "0"));
        QCOMPARE(labels(), QStringLiteral("1234/-"));
        QCOMPARE(home.read(QStringLiteral(".config/kiv-admin-driver.score")), QByteArray("1234"));
        // The first "Score:" counts, a tab after it too.
        QVERIFY(run(benchmark, "Score:\t987\nScore: 5\n", "0"));
        QCOMPARE(labels(), QStringLiteral("987/1234"));
        QVERIFY(run(benchmark, "Score: none\n", "0"));
        QVERIFY(run(benchmark, "Score: 4\n", "3"));
        QCOMPARE(answerer.texts,
                 (QStringList{QStringLiteral("Couldn't get benchmarking score"), QStringLiteral("Benchmarking software encountered an error")}));
        QCOMPARE(labels(), QStringLiteral("987/1234"));
    }
    // Reopened: the saved score is the previous one until a run in this dialog.
    qDeleteAll(dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
    Benchmark reopened(QStringLiteral("glmark2"), &dialog, home.programs());
    QCOMPARE(labels(), QStringLiteral("-/987"));
    QVERIFY(run(reopened, "Score: 555\n", "0"));
    QCOMPARE(labels(), QStringLiteral("555/-"));
    QCOMPARE(home.read(QStringLiteral(".config/kiv-admin-driver.score")), QByteArray("555"));
    // Only a number counts, shown as plain text; a FIFO neither blocks nor counts.
    const QList<QPair<QByteArray, QString>> saved{{"about 30", QStringLiteral("-")},
                                                  {"<b>7</b>", QStringLiteral("-")},
                                                  {QByteArray(100000, '9'), QStringLiteral("-")},
                                                  {" 42\n", QStringLiteral("42")},
                                                  {"<fifo>", QStringLiteral("-")}};
    for (const auto &[content, shown] : saved) {
        QFile::remove(Benchmark::scoreFilePath());
        QVERIFY(content == "<fifo>" ? mkfifo(QFile::encodeName(Benchmark::scoreFilePath()).constData(), 0600) == 0
                                    : TestFiles::write(Benchmark::scoreFilePath(), content));
        qDeleteAll(dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
        Benchmark edited(QStringLiteral("glmark2"), &dialog, home.programs());
        QCOMPARE(labels(), QStringLiteral("-/") + shown);
        QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("previousScoreLabel"))->textFormat(), Qt::PlainText);
    }

    // Closed while a run goes on: the run ends, and nothing is reported.
    QVERIFY(home.program(QStringLiteral("glmark2"), "[ \"$1\" = -h ] && exit 0\necho $$ > \"$HOME/run.pid\"\nexec sleep 60\n"));
    const int boxes = answerer.texts.size();
    {
        qDeleteAll(dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
        Benchmark closing(QStringLiteral("glmark2"), &dialog, home.programs());
        closing.getTweakWidget()->findChild<QPushButton *>(QStringLiteral("launchButton"))->click();
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QFile::exists(home.path(QStringLiteral("run.pid")));
            },
            10000));
    }
    QTest::qWait(200);
    QCOMPARE(answerer.texts.size(), boxes);
    const QByteArray pid = home.read(QStringLiteral("run.pid")).trimmed();
    QVERIFY(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)));
}

void TweaksTest::benchmarkNotAvailable_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no program
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("-h fails") << QByteArray("exit 2\n");
    // Never answers: the dialog must not wait for it.
    QTest::newRow("-h hangs") << QByteArray("exec sleep 60\n");
}

void TweaksTest::benchmarkNotAvailable()
{
    QFETCH(QByteArray, script);
    Home home;
    if (!script.isEmpty()) {
        QVERIFY(home.program(QStringLiteral("glmark2"), script));
    }
    QWidget dialog;
    Benchmark benchmark(QStringLiteral("glmark2"), &dialog, home.programs());
    QVERIFY(!dialog.findChild<QPushButton *>(QStringLiteral("launchButton")));
    const QList<QLabel *> labels = dialog.findChildren<QLabel *>();
    QVERIFY(std::any_of(labels.cbegin(), labels.cend(), [](const QLabel *label) {
        return label->text() == QLatin1String("glmark2 is not currently installed. Benchmarking is unavailable.");
    }));
}

QTEST_MAIN(TweaksTest)
#include "tweakstest.moc"
