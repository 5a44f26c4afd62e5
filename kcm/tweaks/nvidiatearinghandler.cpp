// SPDX-License-Identifier: GPL-2.0-or-later
#include "nvidiatearinghandler.h"
#include "atomicfile.h"

#include <KLocalizedString>
#include <KMessageBox>

#include <QCheckBox>
#include <QDebug>
#include <QFile>
#include <QProcess>

NvidiaTearingHandler::NvidiaTearingHandler(QWidget *parentWidget, const QString &programDirectory)
    : AbstractTearingHandler(parentWidget)
    , m_programDirectory(programDirectory)
{
}

QString NvidiaTearingHandler::commandFilePath()
{
    return home() + QStringLiteral("/.config/kiv-admin-driver-nvidia.tweak");
}

QByteArray NvidiaTearingHandler::profileBlock()
{
    // "source" is bash's; the sh that reads ~/.profile for a display manager is
    // dash on Debian. A missing file, or a command that fails, must not end the
    // login script, not even under "set -e": dash applies it inside a sourced file
    // whatever surrounds the ".", so the file runs in a subshell.
    return QByteArrayLiteral(
        "\n# This line is generated automatically\n"
        "if [ -r \"$HOME/.config/kiv-admin-driver-nvidia.tweak\" ]; then (. \"$HOME/.config/kiv-admin-driver-nvidia.tweak\") || true; fi\n");
}

QByteArray NvidiaTearingHandler::oldProfileBlock()
{
    return QByteArrayLiteral("\n# This line is generated automatically\nsource ~/.config/kiv-admin-driver-nvidia.tweak\n");
}

bool NvidiaTearingHandler::loadDependent()
{
    QProcess settings;
    settings.start(m_programDirectory + QStringLiteral("nvidia-settings"), {QStringLiteral("-q"), QStringLiteral("CurrentMetaMode")});
    // A query that does not answer in time has failed.
    if (!settings.waitForFinished(30000) || settings.exitStatus() != QProcess::NormalExit || settings.exitCode() != 0) {
        qDebug() << "NVIDIA: Cannot query nvidia-settings";
        return false;
    }
    tearingBox->setChecked(QString::fromLocal8Bit(settings.readAllStandardOutput()).contains(QLatin1String("ForceCompositionPipeline=On")));
    return true;
}

bool NvidiaTearingHandler::applyDependent(bool enable)
{
    return writeNvidiaCommand(enable);
}

bool NvidiaTearingHandler::writeNvidiaCommand(bool enable)
{
    const QString command = QStringLiteral("nvidia-settings --assign CurrentMetaMode=\"nvidia-auto-select +0+0 { ForceFullCompositionPipeline = %1 }\"")
                                .arg(enable ? QStringLiteral("On") : QStringLiteral("Off"));
    QString error;
    if (!AtomicFile::write(commandFilePath(), command.toLocal8Bit(), &error)) {
        KMessageBox::error(parentWidget, i18n("Cannot create nvidia tweak command file"), QString());
        return false;
    }
    return addToUserProfile();
}

bool NvidiaTearingHandler::addToUserProfile()
{
    const QString path = home() + QStringLiteral("/.profile");
    QByteArray text;
    QString error;
    if (!AtomicFile::read(path, &text, &error)) {
        KMessageBox::error(parentWidget, i18n("Cannot read profile file"), QString());
        return false;
    }
    if (text.contains(profileBlock())) {
        return true;
    }
    // The old block runs nothing under dash: it is replaced where it stands. Any
    // other profile gets the block appended, in place; a failed append leaves the
    // profile exactly as it was, so that no login reads half a block.
    const bool written = text.contains(oldProfileBlock()) ? AtomicFile::write(path, text.replace(oldProfileBlock(), profileBlock()), &error)
                                                          : AtomicFile::append(path, profileBlock(), &error);
    if (!written) {
        qDebug().noquote() << QStringLiteral("Cannot write to ") + path + QLatin1String(": ") + error;
        KMessageBox::error(parentWidget, i18n("Cannot write to profile file"), QString());
        return false;
    }
    return true;
}
