// SPDX-License-Identifier: GPL-2.0-or-later
// Drives the installed control module the way System Settings hosts it: found by
// its plug-in ID, its plug-in loaded through KCMUtils' loader. Runs the steps given
// as arguments and prints, one JSON object a line, what the user would see.
//
//   wait                  load the module and wait until the GPU scan has filled it
//   gpu N                 show the N-th GPU
//   module NAME           choose the kernel module NAME (its real name)
//   xorg NAME             tick "Expert settings" and choose the XOrg driver NAME
//   show                  print the boxes and labels
//   answers A,B,...       how to answer the next boxes: yes, no, ok, or a package
//                         name for the install or remove dialog (which is then
//                         accepted), or for the advanced settings dialog "look",
//                         "tearing=on|off[+independent]" or "bench"; progress
//                         dialogs are followed, not answered
//   apply                 press Apply (the host calls save())
//   install | remove      press "Install" or "Remove"
//   click NAME            press the button NAME (gpuInfo, kernelModuleInfo, ...)
//   shot FILE             save a picture of the module's window
// An answer "shot=FILE" saves a picture of the dialog, then closes it (a progress
// dialog is left to close by itself).
#include <KCModule>
#include <KCModuleLoader>
#include <KPluginMetaData>

#include <QVBoxLayout>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace
{
QTextStream out(stdout);

void print(const QJsonObject &object)
{
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
}

QJsonArray items(const QComboBox *box)
{
    QJsonArray texts;
    for (int i = 0; i < box->count(); ++i) {
        texts.append(box->itemText(i));
    }
    return texts;
}

// Answers every modal dialog that comes up, from a repeating timer.
class Answerer : public QObject
{
public:
    Answerer()
    {
        connect(&m_timer, &QTimer::timeout, this, &Answerer::look);
        m_timer.start(20);
    }

    QStringList answers;

private:
    void look()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == m_seen) {
            return;
        }
        if (modal->objectName() == QLatin1String("DriverProgress")) {
            m_seen = modal;
            auto *bar = modal->findChild<QProgressBar *>(QStringLiteral("progressBar"));
            connect(bar, &QProgressBar::valueChanged, this, [](int value) {
                print({{QStringLiteral("progress"), value}});
            });
            // Pictured while it runs; it closes by itself.
            if (!answers.isEmpty() && answers.first().startsWith(QLatin1String("shot="))) {
                const QString file = answers.takeFirst().mid(5);
                QTimer::singleShot(700, modal, [modal, file] {
                    print({{QStringLiteral("shot"), file}, {QStringLiteral("saved"), modal->window()->grab().save(file)}});
                });
            }
            return;
        }
        if (answers.isEmpty()) {
            return;
        }
        if (answers.first().startsWith(QLatin1String("shot="))) {
            // Once the dialog has been painted.
            m_seen = modal;
            const QString file = answers.takeFirst().mid(5);
            QTimer::singleShot(300, modal, [modal, file] {
                print({{QStringLiteral("shot"), file}, {QStringLiteral("saved"), modal->window()->grab().save(file)}});
                qobject_cast<QDialog *>(modal)->reject();
            });
            return;
        }
        auto *buttons = modal->findChild<QDialogButtonBox *>();
        if (!buttons) {
            return;
        }
        m_seen = modal;
        const QString answer = answers.takeFirst();
        if (modal->objectName() == QLatin1String("Tweaks")) {
            answerTweaks(modal, buttons, answer);
            return;
        }
        if (modal->objectName() == QLatin1String("DriverPackageOps")) {
            auto *box = modal->findChild<QComboBox *>(QStringLiteral("driverBox"));
            print({{QStringLiteral("dialog"), modal->windowTitle()},
                   {QStringLiteral("label"), modal->findChild<QLabel *>(QStringLiteral("driverLabel"))->text()},
                   {QStringLiteral("offered"), items(box)}});
            box->setCurrentIndex(box->findText(answer));
            press(buttons->button(answer == QLatin1String("cancel") ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok));
            return;
        }
        QStringList texts;
        for (const QLabel *label : modal->findChildren<QLabel *>()) {
            if (!label->text().isEmpty()) {
                texts.append(label->text());
            }
        }
        print({{QStringLiteral("box"), texts.join(QLatin1Char('|'))}, {QStringLiteral("answer"), answer}});
        const QDialogButtonBox::StandardButton button = answer == QLatin1String("yes") ? QDialogButtonBox::Yes
            : answer == QLatin1String("no")                                            ? QDialogButtonBox::No
                                                                                       : QDialogButtonBox::Ok;
        press(buttons->button(button));
    }

    static QJsonObject tweaksState(QWidget *dialog)
    {
        const auto *tearing = dialog->findChild<QCheckBox *>(QStringLiteral("tearingBox"));
        const auto *independent = dialog->findChild<QCheckBox *>(QStringLiteral("independentBox"));
        const auto *launch = dialog->findChild<QPushButton *>(QStringLiteral("launchButton"));
        QJsonObject state{{QStringLiteral("tearing"), tearing ? QJsonValue(tearing->isChecked()) : QJsonValue()},
                          {QStringLiteral("independent"), independent ? QJsonValue(independent->isChecked()) : QJsonValue()},
                          {QStringLiteral("ok"), dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->isEnabled()},
                          {QStringLiteral("benchmark"), launch ? launch->text() : QString()},
                          {QStringLiteral("current"), dialog->findChild<QLabel *>(QStringLiteral("currentScoreLabel"))->text()},
                          {QStringLiteral("previous"), dialog->findChild<QLabel *>(QStringLiteral("previousScoreLabel"))->text()}};
        return {{QStringLiteral("tweaks"), state}};
    }

    // "look": show the state and cancel; "tearing=on|off[+independent]": set the
    // boxes and press OK; "bench": run the benchmark, show the scores, cancel.
    void answerTweaks(QWidget *dialog, QDialogButtonBox *buttons, const QString &answer)
    {
        print(tweaksState(dialog));
        if (answer.startsWith(QLatin1String("tearing="))) {
            dialog->findChild<QCheckBox *>(QStringLiteral("tearingBox"))->setChecked(answer.contains(QLatin1String("=on")));
            dialog->findChild<QCheckBox *>(QStringLiteral("independentBox"))->setChecked(answer.endsWith(QLatin1String("+independent")));
            press(buttons->button(QDialogButtonBox::Ok));
        } else if (answer == QLatin1String("bench")) {
            auto *current = dialog->findChild<QLabel *>(QStringLiteral("currentScoreLabel"));
            const QString before = current->text();
            press(dialog->findChild<QPushButton *>(QStringLiteral("launchButton")));
            auto *poll = new QTimer(dialog);
            auto *waited = new QElapsedTimer;
            waited->start();
            connect(poll, &QTimer::timeout, dialog, [=] {
                if (current->text() != before || waited->elapsed() > 180000) {
                    poll->stop();
                    delete waited;
                    print(tweaksState(dialog));
                    press(buttons->button(QDialogButtonBox::Cancel));
                }
            });
            poll->start(100);
        } else {
            press(buttons->button(QDialogButtonBox::Cancel));
        }
    }

    // Clicked from the event loop, not from this timer's slot: what the click opens
    // runs its own loop, in which this timer could not fire again.
    static void press(QPushButton *button)
    {
        QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
    }

    QTimer m_timer;
    // Guarded: the next dialog may be built where the last one was.
    QPointer<QWidget> m_seen;
};

KCModule *loadModule(QWidget *parent)
{
    // As the host finds it: by its plug-in ID among the modules' plug-ins.
    const KPluginMetaData metaData = KPluginMetaData::findPluginById(QStringLiteral("plasma/kcms/systemsettings_qwidgets"), QStringLiteral("kcm_kivdriver"));
    if (!metaData.isValid()) {
        print({{QStringLiteral("error"), QStringLiteral("no module kcm_kivdriver")}});
        return nullptr;
    }
    print({{QStringLiteral("service"), metaData.name()},
           {QStringLiteral("category"), metaData.value(QStringLiteral("X-KDE-System-Settings-Parent-Category"))},
           {QStringLiteral("library"), metaData.fileName()}});
    return KCModuleLoader::loadModule(metaData, parent);
}

// The widget the module's form is on: under KF6 a module is no longer one.
QWidget *formOf(KCModule *module)
{
#if QT_VERSION_MAJOR >= 6
    return module->widget();
#else
    return module;
#endif
}
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList steps = QApplication::arguments().mid(1);
    QWidget window;
    Answerer answerer;
    KCModule *module = nullptr;
    const auto widget = [&module](const char *name) {
        return formOf(module)->findChild<QWidget *>(QLatin1String(name));
    };
    while (!steps.isEmpty()) {
        const QString step = steps.takeFirst();
        if (step == QLatin1String("wait")) {
            module = loadModule(&window);
            if (!module) {
                return 1;
            }
            // Laid out as a host lays it out: the window follows the module's minimum size.
            (new QVBoxLayout(&window))->addWidget(formOf(module));
            window.show();
            if (!QTest::qWaitFor(
                    [&] {
                        return widget("gpuBox")->isEnabled();
                    },
                    30000)) {
                print({{QStringLiteral("error"), QStringLiteral("the GPU scan did not end")}});
                return 1;
            }
        } else if (step == QLatin1String("gpu")) {
            qobject_cast<QComboBox *>(widget("gpuBox"))->setCurrentIndex(steps.takeFirst().toInt());
        } else if (step == QLatin1String("module")) {
            auto *box = qobject_cast<QComboBox *>(widget("kernelModuleBox"));
            box->setCurrentIndex(box->findData(steps.takeFirst()));
        } else if (step == QLatin1String("xorg")) {
            qobject_cast<QGroupBox *>(widget("xorgGroup"))->setChecked(true);
            auto *box = qobject_cast<QComboBox *>(widget("xorgDriverBox"));
            box->setCurrentIndex(box->findData(steps.takeFirst()));
        } else if (step == QLatin1String("show")) {
            auto *modules = qobject_cast<QComboBox *>(widget("kernelModuleBox"));
            auto *xorg = qobject_cast<QComboBox *>(widget("xorgDriverBox"));
            print({{QStringLiteral("title"), formOf(module)->windowTitle()},
                   {QStringLiteral("gpus"), items(qobject_cast<QComboBox *>(widget("gpuBox")))},
                   {QStringLiteral("modules"), items(modules)},
                   {QStringLiteral("module"), modules->currentText()},
                   {QStringLiteral("xorgDrivers"), items(xorg)},
                   {QStringLiteral("xorgDriver"), xorg->currentText()},
                   {QStringLiteral("vendor"), qobject_cast<QLabel *>(widget("gpuVendor"))->text()},
                   {QStringLiteral("version"), qobject_cast<QLabel *>(widget("kernelModuleVersion"))->text()}});
        } else if (step == QLatin1String("answers")) {
            answerer.answers += steps.takeFirst().split(QLatin1Char(','));
        } else if (step == QLatin1String("apply")) {
            module->save();
            print({{QStringLiteral("applied"), true}});
        } else if (step == QLatin1String("install") || step == QLatin1String("remove")) {
            qobject_cast<QPushButton *>(widget(step == QLatin1String("install") ? "installDrivers" : "removeDrivers"))->click();
            print({{QStringLiteral("closed"), step}});
        } else if (step == QLatin1String("click")) {
            const QString name = steps.takeFirst();
            qobject_cast<QPushButton *>(widget(name.toLatin1().constData()))->click();
            print({{QStringLiteral("closed"), name}});
        } else if (step == QLatin1String("shot")) {
            QTest::qWait(300);
            const QString file = steps.takeFirst();
            print({{QStringLiteral("shot"), file}, {QStringLiteral("saved"), window.grab().save(file)}});
        } else {
            print({{QStringLiteral("error"), QString(QStringLiteral("unknown step ") + step)}});
            return 2;
        }
    }
    return 0;
}
