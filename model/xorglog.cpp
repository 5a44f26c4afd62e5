// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorglog.h"

#include <QFile>
#include <QRegularExpression>

namespace
{
QString busIdFromDecimal(const QString &bus, const QString &slot, const QString &function)
{
    return QStringLiteral("0000:%1:%2.%3").arg(bus.toUInt(), 2, 16, QLatin1Char('0')).arg(slot.toUInt(), 2, 16, QLatin1Char('0')).arg(function.toUInt(), 1, 16);
}
}

XorgLog::XorgLog(const QString &text)
{
    // A run of characters other than the blank, line breaks included, directly
    // followed by a decimal screen number: tags of GPU screens (G0) do not match.
    static const QRegularExpression screenTag(QStringLiteral("([^ ]+)\\(\\d+\\)"));
    m_firstTag = screenTag.match(text).captured(1);

    static const QRegularExpression platformProbe(
        QStringLiteral("Platform probe for /sys/devices/\\S*/([[:xdigit:]]{4}:[[:xdigit:]]{2}:[[:xdigit:]]{2}\\.[[:xdigit:]])/drm/(card\\d+)"));
    for (auto it = platformProbe.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString busId = match.captured(1).toLower();
        if (!m_cardOfBusId.contains(busId)) {
            m_cardOfBusId.insert(busId, match.captured(2));
        }
    }

    static const QRegularExpression usingDrv(QStringLiteral("(\\S+)\\(G?\\d+\\): using drv /dev/dri/(card\\d+)"));
    for (auto it = usingDrv.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        if (!m_tagOfCard.contains(match.captured(2))) {
            m_tagOfCard.insert(match.captured(2), match.captured(1));
        }
    }

    // The NVIDIA driver names the PCI address of its screen's GPU in decimal.
    static const QRegularExpression atPci(QStringLiteral("(\\S+)\\(G?\\d+\\): [^\\n]* at PCI:(\\d+):(\\d+):(\\d+)"));
    for (auto it = atPci.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString busId = busIdFromDecimal(match.captured(2), match.captured(3), match.captured(4));
        if (!m_tagOfBusId.contains(busId)) {
            m_tagOfBusId.insert(busId, match.captured(1));
        }
    }
}

XorgLog XorgLog::fromFile(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    if (!*ok) {
        return {};
    }
    QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) {
        bytes.truncate(nul);
    }
    return XorgLog(QString::fromUtf8(bytes));
}

QString XorgLog::driverFor(const QString &busId, const QString &card) const
{
    const QString bus = busId.toLower();
    // The server's own probe knows which card was this GPU's when it started.
    const QString probedCard = m_cardOfBusId.value(bus);
    if (!probedCard.isEmpty() && m_tagOfCard.contains(probedCard)) {
        return m_tagOfCard.value(probedCard);
    }
    if (m_tagOfBusId.contains(bus)) {
        return m_tagOfBusId.value(bus);
    }
    if (probedCard.isEmpty() && !card.isEmpty() && m_tagOfCard.contains(card)) {
        // Trust the card number only when the log did not give that card to another GPU.
        bool cardTakenByOther = false;
        for (auto it = m_cardOfBusId.cbegin(); it != m_cardOfBusId.cend(); ++it) {
            cardTakenByOther = cardTakenByOther || (it.value() == card && it.key() != bus);
        }
        if (!cardTakenByOther) {
            return m_tagOfCard.value(card);
        }
    }
    return m_firstTag;
}
