// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "device.h"
#include "moduletree.h"
#include "xorglog.h"

#include <QString>

#include <future>
#include <optional>

// The parts of the running system that describe every GPU alike: the kernel's
// module tree, the X server's log and who runs the X server. One environment
// serves one enumeration, so each of them is read at most once however many
// GPUs and candidate modules there are.
//
// root prefixes every system path; it is empty for the real system and a
// temporary directory in tests.
class DriverEnvironment
{
public:
    explicit DriverEnvironment(const QString &root = QString());
    ~DriverEnvironment();
    DriverEnvironment(const DriverEnvironment &) = delete;
    DriverEnvironment &operator=(const DriverEnvironment &) = delete;

    QString root() const
    {
        return m_root;
    }

    // The running kernel's module tree, "/usr/lib/modules/" and the uname release.
    QString moduleRoot() const;
    ModuleTree &moduleTree();

    // Whether the GPU with the libhd bus id busId has a DRM device link; card is
    // set to the name of the card it points to (card0).
    bool drmDevice(const QString &busId, QString *card) const;

    bool isRootStartedX();
    // Reads the log that the running X server writes, once; ok tells whether it
    // could be read.
    const XorgLog &xorgLog(bool *ok);

    static QString rootXorgLogPath();
    static QString userXorgLogPath();

    // Starts reading what records with the given details need, the whole module
    // tree and the X server's log, on another thread: a caller that probes the PCI
    // bus meanwhile, which takes longer, gets them at little cost in time (the
    // two threads still share the cores). The accessors above wait for the
    // reading to end.
    void prefetch(Device::Details details);

private:
    void waitForPrefetch();
    bool rootStartedX();
    void readXorgLog();

    QString m_root;
    std::optional<ModuleTree> m_moduleTree;
    std::optional<bool> m_rootStartedX;
    std::optional<XorgLog> m_xorgLog;
    bool m_xorgLogRead = false;
    std::future<void> m_prefetch;
};
