// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "abstracttweak.h"

#include <QString>

class QCheckBox;
class QLabel;

// The tearing prevention tweak. Two variants: the machine-independent one, a
// picom snippet in the user's tweaks file that the user's picom configuration
// includes, and a machine-dependent one each subclass supplies (nvidia-settings,
// the XOrg TearFree option, or again the picom snippet).
class AbstractTearingHandler : public AbstractTweak
{
    Q_OBJECT

public:
    explicit AbstractTearingHandler(QWidget *parentWidget);
    ~AbstractTearingHandler() override;

    bool apply() override;
    bool loadState() override;

    virtual bool applyDependent(bool enable) = 0;
    virtual bool loadDependent() = 0;

    bool loadIndependent();
    // Writes the tweaks file and makes the configuration picom reads include it.
    bool applyIndependent(bool enable);

    // The user's home, from HOME as picom and the login shell see it.
    static QString home();
    static QString tweaksFilePath();

protected:
    QCheckBox *tearingBox;
    QCheckBox *independentBox;

private:
    QLabel *m_tearingLabel;
    QLabel *m_independentLabel;
};
