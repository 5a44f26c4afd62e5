// SPDX-License-Identifier: GPL-2.0-or-later
#include "moduletree.h"
#include "modulename.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace
{
const QLatin1String moduleSuffix(".ko");

class Walker
{
public:
    Walker(const QSet<QString> *wanted, QHash<QString, QString> *found)
        : m_wanted(wanted)
        , m_found(found)
    {
    }

    void run(const QByteArray &root)
    {
        // QDirIterator marks the start directory as visited by its absolute path.
        m_visited.insert(root);
        walkDirectory(root);
    }

private:
    bool done() const
    {
        return m_wanted && m_found->size() == m_wanted->size();
    }

    void walkDirectory(const QByteArray &directory)
    {
        DIR *dir = opendir(directory.constData());
        if (!dir) {
            return;
        }
        while (!done()) {
            errno = 0;
            const dirent *entry = readdir(dir);
            if (!entry) {
                break;
            }
            // Hidden entries, "." and ".." included, are neither reported nor entered
            // by QDirIterator without QDir::Hidden.
            if (entry->d_name[0] == '.') {
                continue;
            }
            const QByteArray path = directory + '/' + entry->d_name;
            visitFile(entry->d_name, path, entry->d_type);
            bool isDirectory = entry->d_type == DT_DIR;
            bool isLink = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN || isLink) {
                struct stat info;
                if (lstat(path.constData(), &info) != 0) {
                    continue;
                }
                isLink = S_ISLNK(info.st_mode);
                isDirectory = S_ISDIR(info.st_mode);
                if (isLink) {
                    isDirectory = stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
                }
            }
            if (isDirectory) {
                enter(path, isLink);
            }
        }
        closedir(dir);
    }

    void enter(const QByteArray &path, bool isLink)
    {
        // QDirIterator stops link loops by remembering every directory it entered,
        // by its canonical path when reached through a link.
        QByteArray key = path;
        if (isLink) {
            char canonical[PATH_MAX];
            if (!realpath(path.constData(), canonical)) {
                return;
            }
            key = canonical;
        }
        if (m_visited.contains(key)) {
            return;
        }
        m_visited.insert(key);
        walkDirectory(path);
    }

    void visitFile(const char *name, const QByteArray &path, unsigned char type)
    {
        const QString fileName = QFile::decodeName(name);
        if (!fileName.endsWith(moduleSuffix)) {
            return;
        }
        const QString key = ModuleName::normalized(fileName.chopped(moduleSuffix.size()));
        if (m_found->contains(key) || (m_wanted && !m_wanted->contains(key))) {
            return;
        }
        // A dangling link is not an entry for QDirIterator without QDir::System.
        struct stat info;
        if ((type == DT_LNK || type == DT_UNKNOWN) && stat(path.constData(), &info) != 0) {
            return;
        }
        m_found->insert(key, QFile::decodeName(path));
    }

    const QSet<QString> *m_wanted;
    QHash<QString, QString> *m_found;
    QSet<QByteArray> m_visited;
};
}

ModuleTree::ModuleTree(const QString &root)
    : m_root(root)
{
}

void ModuleTree::walk(const QSet<QString> &wanted, QHash<QString, QString> *found) const
{
    Walker(&wanted, found).run(QFile::encodeName(m_root));
}

void ModuleTree::locate(const QSet<QString> &moduleNames)
{
    QSet<QString> wanted;
    for (const QString &name : moduleNames) {
        const QString key = ModuleName::normalized(name);
        if (!m_paths.contains(key)) {
            wanted.insert(key);
        }
    }
    if (wanted.isEmpty()) {
        return;
    }
    QHash<QString, QString> found;
    walk(wanted, &found);
    for (const QString &key : qAsConst(wanted)) {
        m_paths.insert(key, found.value(key));
    }
}

QString ModuleTree::path(const QString &moduleName)
{
    locate({moduleName});
    return m_paths.value(ModuleName::normalized(moduleName));
}

QHash<QString, QString> ModuleTree::indexAll()
{
    QHash<QString, QString> all;
    Walker(nullptr, &all).run(QFile::encodeName(m_root));
    return all;
}
