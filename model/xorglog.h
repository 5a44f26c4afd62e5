// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// What an X server log says about the XOrg drivers in use.
//
// The screen tag of a log message (modeset(0), NVIDIA(G0), intel(0)) names the
// driver of that screen. A log of a machine with several GPUs has several
// screens, which the log ties to GPUs in several ways: the DRM card a screen uses
// ("using drv /dev/dri/card1") with the server's probe of the cards ("Platform
// probe for .../0000:00:02.0/drm/card1"), a PCI address ("... at PCI:1:0:0"),
// the ChipID of a Chipset line, the vendor a driver reports (an NVIDIA chipset,
// Intel's kernel driver i915), the driver an OutputClass loads for a card, or,
// finally, one screen and one GPU left over. A GPU gets the driver of the screen
// tied to it. One that no screen is tied to gets the first screen tag of the log,
// unless the log ties that screen to another GPU: no driver is better than
// another GPU's.
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
    struct Gpu {
        QString busId; // libhd form, lower case
        QString vendor; // 4 hex digits, lower case
        QString device;
    };

    void readGpus(const QString &text);
    void readScreens(const QString &text);
    void tie(const QString &screen, const QString &busId, bool mustBeListed);
    void tieToOnlyGpu(const QString &screen, const std::function<bool(const Gpu &)> &matches);
    QString tagOf(const QString &screen) const;

    QString m_firstTag;
    QString m_firstScreen; // the first tag with its screen number, modeset(0)
    QList<Gpu> m_gpus; // from the server's PCI probe
    QStringList m_screens; // screens of video drivers, tag(number), in order of appearance
    QHash<QString, QString> m_busIdOfCard; // from the server's probe of the DRM devices
    QHash<QString, QString> m_busIdOfScreen;
    QHash<QString, QString> m_cardOfScreen;
};
