// SPDX-License-Identifier: GPL-2.0-or-later
// How the GPU enumeration compares with a bare libhd probe of the PCI bus on
// this system, measured in one run with the two interleaved. Run it inside a
// fake machine (its own PID namespace) to also see how many processes or
// threads each one starts: the kernel's last assigned PID tells.
#include "driverenvironment.h"
#include "gpuenumerator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <hd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace
{
int lastPid()
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (!loadavg.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return loadavg.readAll().trimmed().split(' ').last().toInt();
}

void bareProbe()
{
    auto *data = static_cast<hd_data_t *>(std::calloc(1, sizeof(hd_data_t)));
    hd_free_hd_list(hd_list(data, hw_pci, 1, nullptr));
    hd_free_hd_data(data);
    std::free(data);
}

double median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return double(values[values.size() / 2]);
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int rounds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 15;

    std::vector<qint64> probe;
    std::vector<qint64> enumeration;
    int probePids = 0;
    int enumerationPids = 0;
    int gpus = 0;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        int before = lastPid();
        timer.start();
        bareProbe();
        probe.push_back(timer.nsecsElapsed());
        probePids += lastPid() - before;

        before = lastPid();
        timer.restart();
        DriverEnvironment environment;
        environment.prefetch(Device::AllDetails); // as the command line does
        gpus = GpuEnumerator::enumerate(GpuEnumerator::Filter::AllDisplayControllers, environment).size();
        enumeration.push_back(timer.nsecsElapsed());
        enumerationPids += lastPid() - before;
    }
    out << "GPUs: " << gpus << ", rounds: " << rounds << Qt::endl;
    out << "bare libhd probe, median:   " << QString::number(median(probe) / 1e6, 'f', 1) << " ms" << Qt::endl;
    out << "GPU enumeration, median:    " << QString::number(median(enumeration) / 1e6, 'f', 1) << " ms" << Qt::endl;
    out << "ratio enumeration / probe:  " << QString::number(median(enumeration) / median(probe), 'f', 2) << Qt::endl;
    out << "PIDs used per bare probe:   " << QString::number(double(probePids) / rounds, 'f', 1) << Qt::endl;
    out << "PIDs used per enumeration:  " << QString::number(double(enumerationPids) / rounds, 'f', 1) << Qt::endl;
    return 0;
}
