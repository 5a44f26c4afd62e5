// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "module.h"

#include <QFlags>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

struct s_hd_t;
class DriverEnvironment;

// One GPU: a PCI display controller as libhd describes it, with the kernel
// modules that can drive it and the XOrg driver that the running X server uses
// for it. A plain value; it keeps nothing of libhd's record.
class Device
{
public:
    // What a record holds beyond libhd's identification of the device: the
    // candidate modules (their files found in the module tree, their names read
    // from them) and the XOrg driver (read from the X server's log). A record
    // built without one has no modules, or an empty XOrg driver.
    enum Detail {
        Modules = 0x1,
        XorgDriver = 0x2,
        AllDetails = Modules | XorgDriver,
    };
    Q_DECLARE_FLAGS(Details, Detail)

    Device() = default;
    // Builds the record; the module files, the DRM link and the X server log are
    // looked up through env.
    Device(const s_hd_t *hd, DriverEnvironment &env, Details details = AllDetails);

    QString vendorName() const
    {
        return m_vendorName;
    }
    QString deviceName() const
    {
        return m_deviceName;
    }
    QString model() const
    {
        return m_model;
    }
    QString classId() const
    {
        return m_classId;
    }
    QString deviceId() const
    {
        return m_deviceId;
    }
    QString sysfsBusId() const
    {
        return m_sysfsBusId;
    }
    QString modalias() const
    {
        return m_modalias;
    }
    QString uniqueId() const
    {
        return m_uniqueId;
    }
    QString xorgDriver() const
    {
        return m_xorgDriver;
    }

    QList<Module> driverList() const
    {
        return m_drivers;
    }
    // Both require a non-empty driverList().
    Module currentDriver() const
    {
        return m_drivers.at(m_currentDriverIndex);
    }
    Module newDriver() const
    {
        return m_drivers.at(m_newDriverIndex);
    }

    // Whether the GPU is bound to one of its candidate modules, the one
    // currentDriver() gives. Otherwise currentDriver() is only the first candidate,
    // which a switch then blacklists, but no module is in use.
    bool isBoundToCandidate() const
    {
        return m_boundToCandidate;
    }

    // Selects the module to become active, by display or real name; the last
    // module of that name wins, and an unknown name changes nothing.
    void setNewDriver(const QString &name);
    // Makes the selected module the current one, once the helper has switched it.
    void updateCurrentDriver();
    // Takes back the selection: the current module is the one to stay.
    void resetNewDriver()
    {
        m_newDriverIndex = m_currentDriverIndex;
    }
    // The first module whose real name is realName; the flag says whether one was found.
    QPair<bool, Module> driverByTrueName(const QString &realName) const;

    void updateXOrgDriver(const QString &name);

    // Whether libhd's record is a display controller (PCI base class 03), the
    // only records that are made into a Device.
    static bool isDisplayController(const s_hd_t *hd);
    // The candidate module names from libhd's driver info, in its order.
    static QStringList candidateModules(const s_hd_t *hd);

    // value as exactly width lowercase hex digits (libhd's bus tag above them dropped).
    static QString fromHex(int value, int width);
    // libhd bus id (0000:01:00.0) to the X.Org bus ID (PCI:1@0:0:0).
    static QString parseBusId(const QString &busId);
    // The kernel's name of the module in the file koPath, or fallback.
    static QString displayName(const QString &koPath, const QString &fallback);
    // The candidates' modules. The one named like activeModule, the module the
    // kernel has bound to the GPU, takes the kernel's name without its file
    // being read: decompressing a module of tens of megabytes costs more than
    // the whole probe.
    static QList<Module> parseDriverList(const QStringList &candidates, DriverEnvironment &env, const QString &activeModule = QString());

private:
    // The index of the module activeModule among the candidates, -1 for none.
    int findCurrentModuleIndex(const char *activeModule) const;
    static QString findCurrentXOrgDriver(const QString &busId, DriverEnvironment &env);

    QString m_baseClassName;
    QString m_vendorName;
    QString m_deviceName;
    QString m_model;
    QString m_classId;
    QString m_vendorId;
    QString m_deviceId;
    QString m_sysfsBusId;
    QString m_sysfsId;
    QString m_modalias;
    QString m_uniqueId;
    QString m_xorgDriver;
    int m_currentDriverIndex = 0;
    int m_newDriverIndex = 0;
    bool m_boundToCandidate = false;
    QList<Module> m_drivers;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Device::Details)
