// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

// One tweak of the advanced settings dialog: it builds its own widget, reads the
// machine's state into it and applies what the widget shows on request.
class AbstractTweak : public QObject
{
    Q_OBJECT

public:
    explicit AbstractTweak(QWidget *parentWidget);
    ~AbstractTweak() override;

    // Applies what the widget shows; true on success.
    virtual bool apply() = 0;
    // Reads the machine's current state into the widget; false when the tweak
    // cannot be used on this machine.
    virtual bool loadState() = 0;

    QWidget *getTweakWidget() const
    {
        return tweakWidget;
    }

protected:
    // Deleted with the tweak: a tweak that failed to load leaves no widget behind
    // in the dialog, whose child it is.
    QPointer<QWidget> tweakWidget;
    // The dialog: parent of the widget and of every message box of the tweak.
    QWidget *parentWidget;
};
