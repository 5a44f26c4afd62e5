// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHash>
#include <QSet>
#include <QString>

// Finds kernel module files below a module tree such as /usr/lib/modules/<release>:
// NAME.ko, or compressed, NAME.ko.xz, NAME.ko.zst and NAME.ko.gz.
//
// Where the tree has depmod's index (modules.dep), the index answers: it names
// the file modprobe loads, which matters where a name occurs twice (DKMS builds
// in updates/ win over the kernel's own). Without an index the tree is walked
// recursively, following symbolic links, in the file system's
// own order, exactly as QDirIterator with Subdirectories | FollowSymlinks walks it,
// and the first file of a name wins. A single walk serves any number of names: it
// ends as soon as every name asked for is found, so the kernel headers that
// Debian links into the tree are usually never read.
class ModuleTree
{
public:
    explicit ModuleTree(const QString &root);

    // Walks the tree once and remembers where the given modules are. Names are
    // module names as libhd gives them; '-' and '_' are the same character.
    void locate(const QSet<QString> &moduleNames);

    // The path of the module file of name, or an empty string. Names not passed to
    // locate() before are located now, with a walk of their own.
    QString path(const QString &moduleName);

    // Walks the whole tree now; every later lookup is answered from what it found,
    // without another walk. For callers that walk on another thread while they
    // wait for something else.
    void locateAll();

    // Every module file of the tree in walk order, the first path of each name,
    // whether or not there is an index; for tests that compare the walk with
    // QDirIterator's.
    QHash<QString, QString> indexAll();

private:
    void walk(const QSet<QString> &wanted, QHash<QString, QString> *found) const;
    // Takes every path from depmod's index, once; false without a readable one.
    bool readIndex();

    QString m_root;
    QHash<QString, QString> m_paths; // normalized name -> path, empty when not found
    bool m_complete = false; // m_paths holds every module of the tree
    bool m_indexRead = false;
};
