// SPDX-License-Identifier: GPL-2.0-or-later
// How fast the control module shows and fills, measured in one run with the
// cases interleaved:
// - its constructor against that of a KCModule that only builds the same form
//   (the scan must never hold up the first paint);
// - the time until its form is enabled against the same enumeration run on the
//   main thread, without the command line's prefetch (the module adds little
//   around the scan).
// Run it inside a fake machine with the offscreen platform.
#include "driverenvironment.h"
#include "gpuenumerator.h"
#include "mainmodule.h"
#include "ui_mainmodule.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace
{
// The same form, and nothing else.
class FormOnlyModule : public KCModule
{
public:
    explicit FormOnlyModule(QWidget *parent)
        : KCModule(parent)
    {
#if QT_VERSION_MAJOR >= 6
        m_form.setupUi(widget());
#else
        m_form.setupUi(this);
#endif
    }

private:
    Ui_MainModule m_form;
};

double median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return double(values[values.size() / 2]);
}

QString milliseconds(double nanoseconds)
{
    return QString::number(nanoseconds / 1e6, 'f', 2) + QStringLiteral(" ms");
}
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    const int rounds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 11;
    std::vector<qint64> formOnly;
    std::vector<qint64> constructor;
    std::vector<qint64> enabled;
    std::vector<qint64> enumeration;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        {
            FormOnlyModule module(nullptr);
            formOnly.push_back(timer.nsecsElapsed());
        }

        timer.restart();
        MainModule module(nullptr, MainModule::Environment());
        constructor.push_back(timer.nsecsElapsed());
        auto *gpuBox = module.form()->findChild<QComboBox *>(QStringLiteral("gpuBox"));
        while (!gpuBox->isEnabled()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        enabled.push_back(timer.nsecsElapsed());

        timer.restart();
        DriverEnvironment environment;
        GpuEnumerator::enumerate(GpuEnumerator::Filter::AllDisplayControllers, environment);
        enumeration.push_back(timer.nsecsElapsed());
    }
    out << "rounds: " << rounds << Qt::endl;
    out << "form-only KCModule constructor, median:  " << milliseconds(median(formOnly)) << Qt::endl;
    out << "MainModule constructor, median:          " << milliseconds(median(constructor)) << Qt::endl;
    out << "ratio constructor / form only:           " << QString::number(median(constructor) / median(formOnly), 'f', 2) << Qt::endl;
    out << "until the form is enabled, median:       " << milliseconds(median(enabled)) << Qt::endl;
    out << "the same enumeration, median:            " << milliseconds(median(enumeration)) << Qt::endl;
    out << "ratio enabled / enumeration:             " << QString::number(median(enabled) / median(enumeration), 'f', 2) << Qt::endl;
    return 0;
}
