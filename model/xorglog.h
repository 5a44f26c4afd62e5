// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHash>
#include <QString>

// What an X server log says about the XOrg drivers in use.
//
// The screen tag of a log message (modeset(0), NVIDIA(0), intel(0)) names the
// driver of that screen. A log of a machine with several GPUs has several tags;
// where the log ties a screen to a GPU, through its DRM card ("using drv
// /dev/dri/card1", with "Platform probe for .../0000:00:02.0/drm/card1") or its PCI
// address ("... at PCI:1:0:0"), that GPU gets its own screen's driver. Every
// other GPU gets the first tag of the log.
class XorgLog
{
public:
    XorgLog() = default;
    explicit XorgLog(const QString &text);

    // Reads the log; the text ends at the first NUL byte, as a log cut short by a
    // crash often has a run of them.
    static XorgLog fromFile(const QString &path, bool *ok);

    // Driver name of the first screen tag of the whole log, empty if there is none.
    QString firstScreenTag() const
    {
        return m_firstTag;
    }

    // The driver of the GPU with the libhd bus id busId (0000:01:00.0) whose DRM
    // device is card (card0; may be empty).
    QString driverFor(const QString &busId, const QString &card) const;

private:
    QString m_firstTag;
    QHash<QString, QString> m_cardOfBusId; // from the server's own probe of the DRM devices
    QHash<QString, QString> m_tagOfCard;
    QHash<QString, QString> m_tagOfBusId;
};
