// SPDX-License-Identifier: GPL-2.0-or-later
#include "device.h"
#include "driverenvironment.h"
#include "modinfosection.h"
#include "modulename.h"

#include <QDebug>
#include <QRegularExpression>

#include <hd.h>

namespace
{
QString latin1(const char *text)
{
    return QString::fromLatin1(text);
}
}

Device::Device(const s_hd_t *hd, DriverEnvironment &env, Details details)
    : m_baseClassName(latin1(hd->base_class.name))
    , m_vendorName(latin1(hd->vendor.name))
    , m_deviceName(latin1(hd->device.name))
    , m_model(latin1(hd->model))
    , m_classId(fromHex(int(hd->base_class.id), 2) + fromHex(int(hd->sub_class.id), 2).toLower())
    , m_vendorId(fromHex(int(hd->vendor.id), 4).toLower())
    , m_deviceId(fromHex(int(hd->device.id), 4).toLower())
    , m_sysfsBusId(parseBusId(latin1(hd->sysfs_bus_id)))
    , m_sysfsId(latin1(hd->sysfs_id))
    , m_modalias(latin1(hd->modalias))
    , m_uniqueId(latin1(hd->unique_id))
{
    if (details & Modules) {
        m_drivers = parseDriverList(candidateModules(hd), env, latin1(hd->driver_module));
        const int bound = findCurrentModuleIndex(hd->driver_module);
        m_boundToCandidate = bound >= 0;
        m_currentDriverIndex = qMax(bound, 0);
        m_newDriverIndex = m_currentDriverIndex;
    }
    if (details & XorgDriver) {
        m_xorgDriver = findCurrentXOrgDriver(latin1(hd->sysfs_bus_id), env);
    }
}

bool Device::isDisplayController(const s_hd_t *hd)
{
    return fromHex(int(hd->base_class.id), 2).startsWith(QLatin1String("03"));
}

QStringList Device::candidateModules(const s_hd_t *hd)
{
    QStringList candidates;
    for (const driver_info_t *info = hd->driver_info; info; info = info->next) {
        for (const str_list_t *entry = info->any.hddb0; entry; entry = entry->next) {
            const QString name = latin1(entry->str);
            // Records of libhd's X11 table hold the X server version ("4") next to the
            // driver name; only strings that can name a kernel module are candidates.
            // Empty strings are passed on: the module list skips them itself.
            if (name.isEmpty() || ModuleName::isValid(name)) {
                candidates.append(name);
            }
        }
    }
    return candidates;
}

QString Device::fromHex(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0')).right(width);
}

QString Device::parseBusId(const QString &busId)
{
    static const QRegularExpression pattern(
        QStringLiteral("(?'domain'[[:xdigit:]]+):(?'bus'[[:xdigit:]]+):(?'slot'[[:xdigit:]]+)\\.(?'function'[[:xdigit:]]+)"));
    const auto match = pattern.match(busId);
    const auto decimal = [&match](const QString &group) -> QString {
        if (!match.hasMatch()) {
            return QString();
        }
        return QString::number(match.captured(group).toULongLong(nullptr, 16));
    };
    return QStringLiteral("PCI:%1@%2:%3:%4")
        .arg(decimal(QStringLiteral("bus")), decimal(QStringLiteral("domain")), decimal(QStringLiteral("slot")), decimal(QStringLiteral("function")));
}

QString Device::displayName(const QString &koPath, const QString &fallback)
{
    QByteArray name = ModinfoSection::value(koPath, QByteArrayLiteral("name"));
    const int equals = name.indexOf('=');
    if (equals >= 0) {
        name.truncate(equals);
    }
    if (name.isEmpty()) {
        return fallback;
    }
    return QString::fromLocal8Bit(name);
}

QList<Module> Device::parseDriverList(const QStringList &candidates, DriverEnvironment &env, const QString &activeModule)
{
    const QString active = ModuleName::normalized(activeModule);
    QList<Module> modules;
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty()) {
            continue;
        }
        Module module;
        module.realName = candidate;
        module.path = env.moduleTree().path(candidate);
        if (module.path.isEmpty()) {
            module.displayName = candidate;
        } else if (!active.isEmpty() && ModuleName::normalized(candidate) == active) {
            module.displayName = activeModule;
        } else {
            QString dashed = candidate;
            dashed.replace(QLatin1Char('_'), QLatin1Char('-'));
            module.displayName = displayName(module.path, dashed);
        }
        if (!modules.contains(module)) {
            modules.append(module);
        }
    }
    return modules;
}

int Device::findCurrentModuleIndex(const char *activeModule) const
{
    const QString active = latin1(activeModule);
    for (int i = 0; i < m_drivers.size(); ++i) {
        if (m_drivers.at(i).displayName == active) {
            return i;
        }
    }
    return -1;
}

QString Device::findCurrentXOrgDriver(const QString &busId, DriverEnvironment &env)
{
    QString card;
    if (!env.drmDevice(busId, &card)) {
        return QString();
    }
    bool ok = false;
    const XorgLog &log = env.xorgLog(&ok);
    if (!ok) {
        qDebug() << "Failed to read XOrg log file";
        return QString();
    }
    return log.driverFor(busId, card);
}

void Device::setNewDriver(const QString &name)
{
    for (int i = 0; i < m_drivers.size(); ++i) {
        if (m_drivers.at(i).displayName == name || m_drivers.at(i).realName == name) {
            m_newDriverIndex = i;
        }
    }
}

void Device::updateCurrentDriver()
{
    // The helper has made it the module the GPU gets from the next boot on.
    m_currentDriverIndex = m_newDriverIndex;
    m_boundToCandidate = !m_drivers.isEmpty();
}

QPair<bool, Module> Device::driverByTrueName(const QString &realName) const
{
    for (const Module &module : m_drivers) {
        if (module.realName == realName) {
            return {true, module};
        }
    }
    return {false, Module()};
}

void Device::updateXOrgDriver(const QString &name)
{
    m_xorgDriver = name;
}
