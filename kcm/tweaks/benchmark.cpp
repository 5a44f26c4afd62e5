// SPDX-License-Identifier: GPL-2.0-or-later
#include "benchmark.h"
#include "atomicfile.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QDebug>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpacerItem>

namespace
{
constexpr qint64 maxScoreFileSize = 64;

QLabel *addScoreRow(QVBoxLayout *layout, const QString &caption, const QString &value, QWidget *parent)
{
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(caption, parent));
    row->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Minimum));
    auto *label = new QLabel(value, parent);
    // Scores are numbers, never markup.
    label->setTextFormat(Qt::PlainText);
    row->addWidget(label);
    layout->addLayout(row);
    return label;
}
}

Benchmark::Benchmark(const QString &benchmarkName, QWidget *parentWidget, const QString &programDirectory)
    : AbstractTweak(parentWidget)
    , benchmarkName(benchmarkName)
    , m_programDirectory(programDirectory)
{
    auto *container = new QWidget(parentWidget);
    auto *layout = new QVBoxLayout(container);
    if (checkInstalled()) {
        launchButton = new QPushButton(i18n("Measure GPU performance using ") + benchmarkName, parentWidget);
        launchButton->setObjectName(QStringLiteral("launchButton"));
        connect(launchButton, &QPushButton::clicked, this, &Benchmark::launch);
        layout->addWidget(launchButton);
    } else {
        layout->addWidget(new QLabel(benchmarkName + i18n(" is not currently installed. Benchmarking is unavailable."), parentWidget));
    }
    currentScoreLabel = addScoreRow(layout, i18n("Current score:"), QStringLiteral("-"), parentWidget);
    currentScoreLabel->setObjectName(QStringLiteral("currentScoreLabel"));
    previousScoreLabel = addScoreRow(layout, i18n("Previous score:"), getPreviousScore(), parentWidget);
    previousScoreLabel->setObjectName(QStringLiteral("previousScoreLabel"));
    auto *group = new QGroupBox(i18n("GPU performance benchmark"), parentWidget);
    (new QVBoxLayout(group))->addWidget(container);
    tweakWidget = group;
    // Only now: the presence test's run is no benchmark result.
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &Benchmark::processFinish);
}

Benchmark::~Benchmark()
{
    // Closed while a run goes on: the run ends with the dialog, silently.
    disconnect(&process, nullptr, this, nullptr);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QString Benchmark::program() const
{
    return m_programDirectory + benchmarkName;
}

QString Benchmark::scoreFilePath()
{
    return QDir::homePath() + QStringLiteral("/.config/kiv-admin-driver.score");
}

bool Benchmark::checkInstalled()
{
    process.start(program(), {QStringLiteral("-h")});
    // A program that does not answer at once is no usable benchmark; waiting on
    // would freeze System Settings.
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void Benchmark::launch()
{
    if (process.state() == QProcess::NotRunning) {
        process.start(program(), QStringList());
    }
}

void Benchmark::processFinish(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        KMessageBox::error(parentWidget, i18n("Benchmarking software encountered an error"), QString());
        return;
    }
    QByteArray output = process.readAllStandardOutput();
    const int nul = output.indexOf('\0');
    if (nul >= 0) {
        output.truncate(nul);
    }
    static const QRegularExpression scorePattern(QStringLiteral("Score:\\s+(?'score'\\d+)"), QRegularExpression::MultilineOption);
    const QString score = scorePattern.match(QString::fromUtf8(output)).captured(QStringLiteral("score"));
    if (score.isEmpty()) {
        KMessageBox::error(parentWidget, i18n("Couldn't get benchmarking score"), QString());
        return;
    }
    updatePreviousScore(score);
    currentScoreLabel->setText(score);
}

void Benchmark::updatePreviousScore(const QString &score)
{
    if (score.isEmpty()) {
        return;
    }
    QString error;
    if (AtomicFile::write(scoreFilePath(), score.toLocal8Bit(), &error)) {
        previousScoreLabel->setText(currentScoreLabel->text());
    } else {
        qDebug() << "Failed to save the previous score";
        previousScoreLabel->setText(QStringLiteral("-"));
    }
}

QString Benchmark::getPreviousScore()
{
    // Read like every other file of the user's: a regular file only (a FIFO would
    // block), a few bytes at most, and nothing but a number counts.
    const AtomicFile::ReadOnlyFile file(scoreFilePath());
    QByteArray data;
    QString error;
    if (!file.isOpen() || !file.readAll(maxScoreFileSize, &data, &error)) {
        return QStringLiteral("-");
    }
    static const QRegularExpression number(QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,12}")));
    const QString score = QString::fromLatin1(data.trimmed());
    return number.match(score).hasMatch() ? score : QStringLiteral("-");
}
