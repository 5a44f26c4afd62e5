// SPDX-License-Identifier: GPL-2.0-or-later
#include "driverenvironment.h"
#include "xserver.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

DriverEnvironment::DriverEnvironment(const QString &root)
    : m_root(root)
{
}

DriverEnvironment::~DriverEnvironment()
{
    waitForPrefetch();
}

void DriverEnvironment::prefetch(Device::Details details)
{
    waitForPrefetch();
    const bool modules = (details & Device::Modules) && !m_moduleTree;
    const bool xorg = (details & Device::XorgDriver) && !m_xorgLog;
    if (!modules && !xorg) {
        return;
    }
    if (modules) {
        m_moduleTree.emplace(moduleRoot());
    }
    // Until the wait, only the other thread touches the members it fills.
    m_prefetch = std::async(std::launch::async, [this, modules, xorg] {
        if (modules) {
            m_moduleTree->locateAll();
        }
        if (xorg) {
            readXorgLog();
        }
    });
}

void DriverEnvironment::waitForPrefetch()
{
    if (m_prefetch.valid()) {
        m_prefetch.get();
    }
}

QString DriverEnvironment::moduleRoot() const
{
    return m_root + QLatin1String("/usr/lib/modules/") + QSysInfo::kernelVersion();
}

ModuleTree &DriverEnvironment::moduleTree()
{
    waitForPrefetch();
    if (!m_moduleTree) {
        m_moduleTree.emplace(moduleRoot());
    }
    return *m_moduleTree;
}

bool DriverEnvironment::drmDevice(const QString &busId, QString *card) const
{
    const QString link = m_root + QLatin1String("/dev/dri/by-path/pci-") + busId + QLatin1String("-card");
    if (!QFile::exists(link)) {
        return false;
    }
    *card = QFileInfo(QFileInfo(link).symLinkTarget()).fileName();
    return true;
}

bool DriverEnvironment::isRootStartedX()
{
    waitForPrefetch();
    return rootStartedX();
}

bool DriverEnvironment::rootStartedX()
{
    if (!m_rootStartedX) {
        m_rootStartedX = XServer::isRootStartedX(m_root + QLatin1String("/proc"));
    }
    return *m_rootStartedX;
}

QString DriverEnvironment::rootXorgLogPath()
{
    return QStringLiteral("/var/log/Xorg.0.log");
}

QString DriverEnvironment::userXorgLogPath()
{
    return QStringLiteral("/var/log/kiv-dm/Xorg.0.log");
}

const XorgLog &DriverEnvironment::xorgLog(bool *ok)
{
    waitForPrefetch();
    if (!m_xorgLog) {
        readXorgLog();
    }
    *ok = m_xorgLogRead;
    return *m_xorgLog;
}

void DriverEnvironment::readXorgLog()
{
    const QString path = m_root + (rootStartedX() ? rootXorgLogPath() : userXorgLogPath());
    m_xorgLog = XorgLog::fromFile(path, &m_xorgLogRead);
}
