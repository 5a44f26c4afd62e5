// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "abstracttweak.h"

#include <QProcess>

class QLabel;
class QPushButton;

// GPU benchmark with glmark2: the score of this run next to the one of the run
// before, which a file in the user's home keeps.
class Benchmark : public AbstractTweak
{
    Q_OBJECT

public:
    Benchmark(const QString &benchmarkName, QWidget *parentWidget, const QString &programDirectory = QStringLiteral("/usr/bin/"));
    ~Benchmark() override;

    bool apply() override
    {
        return true;
    }
    bool loadState() override
    {
        return true;
    }

    static QString scoreFilePath();

public Q_SLOTS:
    void launch();
    bool checkInstalled();
    void processFinish(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void updatePreviousScore(const QString &score);
    static QString getPreviousScore();
    QString program() const;

    QPushButton *launchButton = nullptr;
    QProcess process;
    QLabel *currentScoreLabel;
    QLabel *previousScoreLabel;
    QString benchmarkName;
    QString m_programDirectory;
};
