// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "abstracttearinghandler.h"

// NVIDIA's driver: the login shell runs an nvidia-settings command that forces
// the full composition pipeline on or off.
class NvidiaTearingHandler : public AbstractTearingHandler
{
public:
    NvidiaTearingHandler(QWidget *parentWidget, const QString &programDirectory = QStringLiteral("/usr/bin/"));

    bool applyDependent(bool enable) override;
    bool loadDependent() override;

    bool writeNvidiaCommand(bool enable);
    // Makes the login shell run the command file: a block appended to ~/.profile
    // once, that works under dash as under bash and does nothing when the command
    // file is missing.
    bool addToUserProfile();

    static QString commandFilePath();
    static QByteArray profileBlock();
    // The block earlier versions appended (bash only); it counts as present.
    static QByteArray oldProfileBlock();

private:
    QString m_programDirectory;
};
