// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDialog>
#include <QString>

class AbstractTearingHandler;
class Benchmark;
class Device;
class Ui_Tweaks;

// "Advanced settings" for one GPU: the tearing prevention tweak, chosen from the
// GPU's XOrg driver, and the GPU benchmark. OK applies the tearing tweak.
class Tweaks : public QDialog
{
    Q_OBJECT

public:
    // Where the tweaks look: the programs (nvidia-settings, glmark2) and the
    // system's root. Tests point them at stand-ins; the product uses the defaults.
    struct Environment {
        QString programDirectory = QStringLiteral("/usr/bin/");
        QString root;
    };

    Tweaks(Device &device, QWidget *parent);
    Tweaks(Device &device, QWidget *parent, const Environment &environment);
    ~Tweaks() override;

    int exec() override;
    void accept() override;

    void addTearingHandler();
    void addBenchmark();

    bool testNvidia();
    bool testIntel();
    bool testAMD();

    AbstractTearingHandler *tearingTweak() const
    {
        return tearingHandler;
    }

private:
    QString lowerCaseDriver() const;

    Ui_Tweaks *m_form;
    Device &device;
    Environment m_environment;
    AbstractTearingHandler *tearingHandler = nullptr;
    Benchmark *benchmark = nullptr;
};
