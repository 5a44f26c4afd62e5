// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QSet>
#include <QString>
#include <QVector>

// Which of NVIDIA's proprietary driver series support a GPU, as Debian's
// nvidia-detect knows it: a list per series in /usr/share/nvidia, a PCI vendor
// and device ID a line ("10DE1E04"), named after the series' driver package
// (nvidia.ids: nvidia-driver; nvidia-tesla-535.ids: nvidia-tesla-535-driver;
// nvidia-legacy-390xx.ids: nvidia-legacy-390xx-driver). Lists of other names
// (nvidia-open.ids) name no driver package and are left out.
namespace NvidiaLists
{
struct List {
    QString path;
    QString package;
    QSet<QString> ids; // upper case, vendor then device: "10DE1E04"
};

QString defaultDirectory();

// The lists of the directory in name order; an unreadable or oversized list
// is left out, a line that is no ID is skipped.
QVector<List> read(const QString &directory = defaultDirectory());

// The driver package a list file stands for, or an empty string.
QString packageOf(const QString &fileName);

// The ID a list holds for a GPU of the given modalias ("pci:v000010DEd00001E04..."),
// or an empty string when it is no PCI modalias.
QString idOf(const QString &modalias);
}
