// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "testfiles.h"

#include <QDir>
#include <QSysInfo>
#include <QTemporaryDir>

#include <hd.h>

#include <cstring>
#include <memory>
#include <vector>

// libhd records and machine trees made by hand, for the model and the control
// module without a GPU.
namespace FakeMachine
{
// libhd keeps a bus tag above the low 16 bits of its ids.
constexpr unsigned pciTag = 1u << 16;

// A hand-built libhd record. Strings point into storage the record owns.
class FakeHd
{
public:
    FakeHd()
    {
        std::memset(&m_hd, 0, sizeof(m_hd));
    }

    hd_t *get()
    {
        return &m_hd;
    }

    char *keep(const QByteArray &text)
    {
        m_strings.push_back(std::make_unique<QByteArray>(text));
        return m_strings.back()->data();
    }

    // One driver-info record of the given kind with these hddb0 strings.
    void addDriverInfo(hd_driver_info_t type, const QList<QByteArray> &strings)
    {
        auto info = std::make_unique<driver_info_t>();
        std::memset(info.get(), 0, sizeof(driver_info_t));
        info->any.type = type;
        str_list_t **next = &info->any.hddb0;
        for (const QByteArray &text : strings) {
            auto entry = std::make_unique<str_list_t>();
            entry->next = nullptr;
            entry->str = keep(text);
            *next = entry.get();
            next = &entry->next;
            m_entries.push_back(std::move(entry));
        }
        driver_info_t **last = &m_hd.driver_info;
        while (*last) {
            last = &(*last)->next;
        }
        *last = info.get();
        m_infos.push_back(std::move(info));
    }

private:
    hd_t m_hd;
    std::vector<std::unique_ptr<QByteArray>> m_strings;
    std::vector<std::unique_ptr<str_list_t>> m_entries;
    std::vector<std::unique_ptr<driver_info_t>> m_infos;
};

// A GPU as libhd reports an NVIDIA 3D controller at 0000:01:00.0.
inline void fillNvidia(FakeHd &hd, const char *boundModule)
{
    hd.get()->base_class = {3, hd.keep("Display controller")};
    hd.get()->sub_class = {2, hd.keep("3D controller")};
    hd.get()->vendor = {pciTag | 0x10de, hd.keep("nVidia Corporation")};
    hd.get()->device = {pciTag | 0x1f91, hd.keep("TU117M")};
    hd.get()->model = hd.keep("nVidia TU117M");
    hd.get()->sysfs_id = hd.keep("/devices/pci0000:00/0000:00:01.0/0000:01:00.0");
    hd.get()->sysfs_bus_id = hd.keep("0000:01:00.0");
    hd.get()->unique_id = hd.keep("VCu0.xyz");
    hd.get()->modalias = hd.keep("pci:v000010DEd00001F91sv0000103Csd000086D5bc03sc02i00");
    hd.get()->driver_module = boundModule ? hd.keep(boundModule) : nullptr;
}

class Machine
{
public:
    Machine()
        : moduleRoot(dir.path() + QStringLiteral("/usr/lib/modules/") + QSysInfo::kernelVersion())
    {
    }

    bool addModule(const QString &relativePath, const QList<QByteArray> &modinfo)
    {
        return TestFiles::write(moduleRoot + QLatin1Char('/') + relativePath, TestFiles::module(modinfo));
    }

    // nvidia-current.ko naming itself nvidia, and nouveau.ko.
    bool addNvidiaAndNouveau()
    {
        return addModule(QStringLiteral("updates/dkms/nvidia-current.ko"), {"name=nvidia"}) && addModule(QStringLiteral("kernel/nouveau.ko"), {"name=nouveau"});
    }

    bool addDrmLink(const QString &busId, const QString &card)
    {
        QDir().mkpath(dir.path() + QStringLiteral("/dev/dri/by-path"));
        return TestFiles::write(dir.path() + QStringLiteral("/dev/dri/") + card, QByteArray())
            && QFile::link(QStringLiteral("../") + card, dir.path() + QStringLiteral("/dev/dri/by-path/pci-") + busId + QStringLiteral("-card"));
    }

    // A process under the fake /proc, as the kernel describes it.
    bool addProcess(int pid, const QByteArray &name, uint euid)
    {
        const QString base = dir.path() + QStringLiteral("/proc/") + QString::number(pid);
        const QByteArray uid = QByteArray::number(euid);
        return TestFiles::write(base + QStringLiteral("/comm"), name + '\n')
            && TestFiles::write(base + QStringLiteral("/status"), "Name:\t" + name + "\nUid:\t1000\t" + uid + '\t' + uid + '\t' + uid + "\n");
    }

    bool addLog(const QString &path, const QByteArray &text)
    {
        return TestFiles::write(dir.path() + path, text);
    }

    QTemporaryDir dir;
    QString moduleRoot;
};
}
