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
    bool applyIndependent(bool enable);
    // Makes the user's picom configuration include the tweaks file.
    bool includePicom();

    // The user's home, from HOME as picom and the login shell see it.
    static QString home();
    static QString tweaksFilePath();
    // What the tweaks file holds while prevention is on.
    static QByteArray picomSnippet();

protected:
    QCheckBox *tearingBox;
    QCheckBox *independentBox;

private:
    QLabel *m_tearingLabel;
    QLabel *m_independentLabel;
};
