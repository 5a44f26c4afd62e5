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
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

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
    QTest::addColumn<QString>("config"); // the user's configuration, relative to home
    QTest::addColumn<QByteArray>("before"); // "<none>": no such file
    QTest::addColumn<QByteArray>("system");
    QTest::addColumn<QByteArray>("after");
    const QByteArray ours("@include \"kiv-admin-driver-picom.conf\"\n");
    QTest::newRow("no configuration at all") << QStringLiteral(".config/picom.conf") << QByteArray("<none>") << QByteArray() << ours;
    QTest::newRow("the system's taken over") << QStringLiteral(".config/picom.conf") << QByteArray("<none>") << QByteArray("shadow = true;\n")
                                             << "shadow = true;\n" + ours;
    QTest::newRow("the user's own") << QStringLiteral(".config/picom.conf") << QByteArray("vsync = false;") << QByteArray("shadow = true;\n")
                                    << "vsync = false;\n" + ours;
    QTest::newRow("already included") << QStringLiteral(".config/picom.conf") << "fading = true;\n" + ours << QByteArray() << "fading = true;\n" + ours;
    // What earlier versions wrote: an unquoted absolute path, a syntax error for picom.
    QTest::newRow("the old form replaced") << QStringLiteral(".config/picom.conf")
                                           << QByteArray("fading = true;\n\n@include @HOME@/.config/kiv-admin-driver-picom.conf\nshadow = false;\n")
                                           << QByteArray() << "fading = true;\n\n" + ours + "shadow = false;\n";
    QTest::newRow("in its own folder") << QStringLiteral(".config/picom/picom.conf") << QByteArray("fading = true;\n") << QByteArray()
                                       << QByteArray("fading = true;\n@include \"../kiv-admin-driver-picom.conf\"\n");
    QTest::newRow("the old name") << QStringLiteral(".compton.conf") << QByteArray("fading = true;\n") << QByteArray()
                                  << QByteArray("fading = true;\n@include \".config/kiv-admin-driver-picom.conf\"\n");
}

void TweaksTest::picomIncludesTheTweaks()
{
    QFETCH(QString, config);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, system);
    QFETCH(QByteArray, after);
    Home home;
    before.replace("@HOME@", QFile::encodeName(home.dir.path()));
    if (before != "<none>") {
        QVERIFY(TestFiles::write(home.path(config), before));
    }
    const QString systemConfig = home.path(QStringLiteral("etc-xdg-picom.conf"));
    if (!system.isEmpty()) {
        QVERIFY(TestFiles::write(systemConfig, system));
    }
    const PicomConfig picom(home.dir.path(), systemConfig);
    QCOMPARE(picom.userConfig(), home.path(config));
    QCOMPARE(picom.include(AbstractTearingHandler::tweaksFilePath()), PicomConfig::Included);
    QCOMPARE(home.read(config), after);
    // Idempotent.
    QCOMPARE(picom.include(AbstractTearingHandler::tweaksFilePath()), PicomConfig::Included);
    QCOMPARE(home.read(config), after);
}

void TweaksTest::independentStateIsRead()
{
    Home home;
    QVERIFY(TestFiles::write(AbstractTearingHandler::tweaksFilePath(), "# mine\n" + AbstractTearingHandler::picomSnippet() + "\nshadow = true;"));
    FallbackTearingHandler handler(nullptr);
    QVERIFY(handler.loadState());
    QVERIFY(box(&handler, "independentBox")->isChecked());
    QVERIFY(box(&handler, "tearingBox")->isChecked());
    // Switched off: the tweaks file is emptied, picom still includes it.
    box(&handler, "tearingBox")->setChecked(false);
    QVERIFY(handler.apply());
    QCOMPARE(home.read(QStringLiteral(".config/kiv-admin-driver-picom.conf")), QByteArray());
    QCOMPARE(home.read(QStringLiteral(".config/picom.conf")), QByteArray("@include \"kiv-admin-driver-picom.conf\"\n"));
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
    QTest::newRow("the old block counts") << QByteArray("{ }") << false << NvidiaTearingHandler::oldProfileBlock() << true
                                          << NvidiaTearingHandler::oldProfileBlock();
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
    for (const char *shell : {"/bin/dash", "/bin/bash"}) {
        QTest::addRow("%s, command file", shell) << QString::fromLatin1(shell) << true;
        QTest::addRow("%s, no command file", shell) << QString::fromLatin1(shell) << false;
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
    // Whatever the file holds is shown as it is.
    QVERIFY(TestFiles::write(Benchmark::scoreFilePath(), "about 30"));
    qDeleteAll(dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
    Benchmark edited(QStringLiteral("glmark2"), &dialog, home.programs());
    QCOMPARE(labels(), QStringLiteral("-/about 30"));
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
