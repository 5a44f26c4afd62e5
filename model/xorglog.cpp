// SPDX-License-Identifier: GPL-2.0-or-later
#include "xorglog.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace
{
QString busIdFromDecimal(const QString &domain, const QString &bus, const QString &slot, const QString &function)
{
    return QStringLiteral("%1:%2:%3.%4")
        .arg(domain.toUInt(), 4, 16, QLatin1Char('0'))
        .arg(bus.toUInt(), 2, 16, QLatin1Char('0'))
        .arg(slot.toUInt(), 2, 16, QLatin1Char('0'))
        .arg(function.toUInt(), 1, 16);
}

QString screenOf(const QRegularExpressionMatch &match, int tag, int number)
{
    return match.captured(tag) + QLatin1Char('(') + match.captured(number) + QLatin1Char(')');
}

// The kernel drivers that tell the vendor of their GPU.
QString vendorOfKernelDriver(const QString &driver)
{
    static const QHash<QString, QString> vendors{
        {QStringLiteral("i915"), QStringLiteral("8086")},
        {QStringLiteral("xe"), QStringLiteral("8086")},
        {QStringLiteral("amdgpu"), QStringLiteral("1002")},
        {QStringLiteral("radeon"), QStringLiteral("1002")},
        {QStringLiteral("nouveau"), QStringLiteral("10de")},
    };
    return vendors.value(driver);
}
}

XorgLog::XorgLog(const QString &text)
{
    // A run of characters other than the blank, line breaks included, directly
    // followed by a decimal screen number: tags of GPU screens (G0) do not match.
    static const QRegularExpression screenTag(QStringLiteral("([^ ]+)\\(\\d+\\)"));
    const QRegularExpressionMatch first = screenTag.match(text);
    m_firstTag = first.captured(1);
    m_firstScreen = first.captured(0);

    readGpus(text);
    readScreens(text);

    static const QRegularExpression platformProbe(
        QStringLiteral("Platform probe for /sys/devices/\\S*/([[:xdigit:]]{4}:[[:xdigit:]]{2}:[[:xdigit:]]{2}\\.[0-7])/drm/(card\\d+)"));
    for (auto it = platformProbe.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        if (!m_busIdOfCard.contains(match.captured(2))) {
            m_busIdOfCard.insert(match.captured(2), match.captured(1).toLower());
        }
    }

    // The ties, strongest first; the first tie of a screen stands.
    static const QRegularExpression usingDrv(QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): using drv /dev/dri/(card\\d+)"));
    for (auto it = usingDrv.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString screen = screenOf(match, 1, 2);
        if (!m_cardOfScreen.contains(screen)) {
            m_cardOfScreen.insert(screen, match.captured(3));
        }
        if (m_busIdOfCard.contains(match.captured(3))) {
            tie(screen, m_busIdOfCard.value(match.captured(3)), false);
        }
    }
    // The NVIDIA driver names its GPU's PCI address in decimal, sometimes on a
    // continuation line.
    static const QRegularExpression atPci(
        QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): (?:[^\\n]* at|[^\\n]* at\\n[^\\n]*\\):)\\s+PCI:(\\d+)(?:@(\\d+))?:(\\d+):(\\d+)"));
    for (auto it = atPci.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString domain = match.captured(4).isEmpty() ? QStringLiteral("0") : match.captured(4);
        tie(screenOf(match, 1, 2), busIdFromDecimal(domain, match.captured(3), match.captured(5), match.captured(6)), false);
    }
    static const QRegularExpression chipId(QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): Chipset: \"[^\"\\n]*\" \\(ChipID = 0x([[:xdigit:]]{4})\\)"));
    for (auto it = chipId.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString device = match.captured(3).toLower();
        tieToOnlyGpu(screenOf(match, 1, 2), [&device](const Gpu &gpu) {
            return gpu.device == device;
        });
    }
    static const QRegularExpression chipsetVendor(QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): (?:Integrated Graphics )?Chipset: \"?(Intel|NVIDIA) "));
    for (auto it = chipsetVendor.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString vendor = match.captured(3) == QLatin1String("Intel") ? QStringLiteral("8086") : QStringLiteral("10de");
        tieToOnlyGpu(screenOf(match, 1, 2), [&vendor](const Gpu &gpu) {
            return gpu.vendor == vendor;
        });
    }
    static const QRegularExpression kernelDriver(QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): Using Kernel Mode Setting driver: (\\w+)"));
    for (auto it = kernelDriver.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString vendor = vendorOfKernelDriver(match.captured(3));
        if (!vendor.isEmpty()) {
            tieToOnlyGpu(screenOf(match, 1, 2), [&vendor](const Gpu &gpu) {
                return gpu.vendor == vendor;
            });
        }
    }
    // The driver an OutputClass loads for a card (only a candidate: it may fail and
    // be unloaded) belongs to that card if exactly one screen of that driver exists.
    static const QRegularExpression outputClass(
        QStringLiteral("Applying OutputClass \"[^\"\\n]*\" to /dev/dri/(card\\d+)\\n[^\\n]*?\\sloading driver: (\\w+)"));
    for (auto it = outputClass.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString driver = match.captured(2);
        QStringList screens;
        for (const QString &screen : std::as_const(m_screens)) {
            if (driver.startsWith(tagOf(screen), Qt::CaseInsensitive)) {
                screens.append(screen);
            }
        }
        if (screens.size() == 1 && !m_cardOfScreen.contains(screens.first())) {
            m_cardOfScreen.insert(screens.first(), match.captured(1));
            if (m_busIdOfCard.contains(match.captured(1))) {
                tie(screens.first(), m_busIdOfCard.value(match.captured(1)), true);
            }
        }
    }
    // One screen and one GPU left over belong together.
    QStringList untiedScreens;
    for (const QString &screen : std::as_const(m_screens)) {
        if (!m_busIdOfScreen.contains(screen)) {
            untiedScreens.append(screen);
        }
    }
    QStringList untiedGpus;
    for (const Gpu &gpu : std::as_const(m_gpus)) {
        if (!m_busIdOfScreen.values().contains(gpu.busId)) {
            untiedGpus.append(gpu.busId);
        }
    }
    if (m_gpus.size() > 1 && untiedScreens.size() == 1 && untiedGpus.size() == 1 && !m_cardOfScreen.contains(untiedScreens.first())) {
        tie(untiedScreens.first(), untiedGpus.first(), true);
    }
}

void XorgLog::readGpus(const QString &text)
{
    // "(--) PCI:*(1@0:0:0) 10de:1c8d:..." since X 1.20, "(--) PCI:*(0:1:0:0) ..."
    // (domain first) before.
    static const QRegularExpression current(QStringLiteral("\\(--\\) PCI:[* ]\\((\\d+)@(\\d+):(\\d+):(\\d+)\\) ([[:xdigit:]]{4}):([[:xdigit:]]{4}):"));
    static const QRegularExpression older(QStringLiteral("\\(--\\) PCI:[* ]\\((\\d+):(\\d+):(\\d+):(\\d+)\\) ([[:xdigit:]]{4}):([[:xdigit:]]{4}):"));
    QSet<QString> seen;
    const auto add = [this, &seen](const QString &busId, const QRegularExpressionMatch &match) {
        if (!seen.contains(busId)) {
            seen.insert(busId);
            m_gpus.append({busId, match.captured(5).toLower(), match.captured(6).toLower()});
        }
    };
    for (auto it = current.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        add(busIdFromDecimal(match.captured(2), match.captured(1), match.captured(3), match.captured(4)), match);
    }
    for (auto it = older.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        add(busIdFromDecimal(match.captured(1), match.captured(2), match.captured(3), match.captured(4)), match);
    }
}

void XorgLog::readScreens(const QString &text)
{
    // Only tags of video drivers name screens (EXA, UXA and the like do not): a tag
    // counts when it begins the name of a module the log loads as a video driver.
    static const QRegularExpression videoDriver(QStringLiteral("LoadModule: \"(\\w+)\"\\n(?:[^\\n]*\\n){1,4}?[^\\n]*Module class: X\\.Org Video Driver"));
    QStringList drivers;
    for (auto it = videoDriver.globalMatch(text); it.hasNext();) {
        drivers.append(it.next().captured(1).toLower());
    }
    static const QRegularExpression tag(QStringLiteral("\\) (\\S+)\\((G?\\d+)\\): "));
    for (auto it = tag.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString name = match.captured(1).toLower();
        const bool isDriver = drivers.isEmpty() || std::any_of(drivers.cbegin(), drivers.cend(), [&name](const QString &driver) {
                                  return driver.startsWith(name);
                              });
        const QString screen = screenOf(match, 1, 2);
        if (isDriver && !m_screens.contains(screen)) {
            m_screens.append(screen);
        }
    }
}

void XorgLog::tie(const QString &screen, const QString &busId, bool mustBeListed)
{
    if (!m_screens.contains(screen) || m_busIdOfScreen.contains(screen)) {
        return;
    }
    if (mustBeListed && std::none_of(m_gpus.cbegin(), m_gpus.cend(), [&busId](const Gpu &gpu) {
            return gpu.busId == busId;
        })) {
        return;
    }
    m_busIdOfScreen.insert(screen, busId);
}

void XorgLog::tieToOnlyGpu(const QString &screen, const std::function<bool(const Gpu &)> &matches)
{
    const auto found = std::count_if(m_gpus.cbegin(), m_gpus.cend(), matches);
    if (found == 1) {
        tie(screen, std::find_if(m_gpus.cbegin(), m_gpus.cend(), matches)->busId, true);
    }
}

QString XorgLog::tagOf(const QString &screen) const
{
    return screen.left(screen.lastIndexOf(QLatin1Char('(')));
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
    for (const QString &screen : m_screens) {
        if (m_busIdOfScreen.value(screen) == bus) {
            return tagOf(screen);
        }
    }
    // The card of the GPU's link counts unless the server's probe gave that card to
    // another GPU (cards may have been numbered otherwise when X started).
    const bool cardIsOurs = !card.isEmpty() && m_busIdOfCard.value(card, bus) == bus;
    if (cardIsOurs) {
        for (const QString &screen : m_screens) {
            if (m_cardOfScreen.value(screen) == card && !m_busIdOfScreen.contains(screen)) {
                return tagOf(screen);
            }
        }
    }
    // The first tag, unless the log gives its screen to another GPU.
    if (m_busIdOfScreen.contains(m_firstScreen)) {
        return QString();
    }
    const QString firstCard = m_cardOfScreen.value(m_firstScreen);
    if (!firstCard.isEmpty() && firstCard != card && (m_busIdOfCard.contains(firstCard) || cardIsOurs)) {
        return QString();
    }
    return m_firstTag;
}
