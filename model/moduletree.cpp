// SPDX-License-Identifier: GPL-2.0-or-later
#include "moduletree.h"
#include "atomicfile.h"
#include "modulefile.h"
#include "modulename.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// depmod's index of a tree holds a line a module; Debian's 6.12 has 500 KiB.
constexpr qint64 maxIndexSize = 64 << 20;

// The length of the module name in a file name, 0 when it is no module file's;
// bytes are compared, so that the thousands of other entries need no string.
size_t moduleNameLength(const char *name)
{
    const size_t length = std::strlen(name);
    for (const char *suffix : ModuleFile::suffixBytes) {
        const size_t suffixLength = std::strlen(suffix);
        if (length > suffixLength && std::memcmp(name + length - suffixLength, suffix, suffixLength) == 0) {
            return length - suffixLength;
        }
    }
    return 0;
}

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
        walkDirectory(open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), root);
    }

private:
    bool done() const
    {
        return m_wanted && m_found->size() == m_wanted->size();
    }

    // Directories are opened relative to their parent's descriptor and entries
    // looked at by name in it: the kernel does not resolve every path from the root
    // again, and no path is built for the thousands of entries that are neither
    // directories nor module files.
    void walkDirectory(int fd, const QByteArray &directory)
    {
        if (fd < 0) {
            return;
        }
        DIR *dir = fdopendir(fd);
        if (!dir) {
            close(fd);
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
            if (const size_t nameLength = moduleNameLength(entry->d_name)) {
                visitFile(dirfd(dir), entry->d_name, nameLength, directory, entry->d_type);
            }
            bool isDirectory = entry->d_type == DT_DIR;
            bool isLink = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN || isLink) {
                struct stat info;
                if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    continue;
                }
                isLink = S_ISLNK(info.st_mode);
                isDirectory = S_ISDIR(info.st_mode);
                if (isLink) {
                    isDirectory = fstatat(dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
                }
            }
            if (isDirectory) {
                enter(dirfd(dir), entry->d_name, directory + '/' + entry->d_name, isLink);
            }
        }
        closedir(dir);
    }

    void enter(int parent, const char *name, const QByteArray &path, bool isLink)
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
        walkDirectory(openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
    }

    void visitFile(int parent, const char *name, size_t nameLength, const QByteArray &directory, unsigned char type)
    {
        const QString key = ModuleName::normalized(QFile::decodeName(QByteArray(name, int(nameLength))));
        if (m_found->contains(key) || (m_wanted && !m_wanted->contains(key))) {
            return;
        }
        // A dangling link is not an entry for QDirIterator without QDir::System.
        struct stat info;
        if ((type == DT_LNK || type == DT_UNKNOWN) && fstatat(parent, name, &info, 0) != 0) {
            return;
        }
        m_found->insert(key, QFile::decodeName(directory + '/' + name));
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

bool ModuleTree::readIndex()
{
    if (m_indexRead) {
        return m_complete;
    }
    m_indexRead = true;
    const AtomicFile::ReadOnlyFile file(m_root + QStringLiteral("/modules.dep"));
    QByteArray text;
    QString error;
    // An empty index (an interrupted depmod) names nothing: the tree is walked.
    if (!file.isOpen() || !file.readAll(maxIndexSize, &text, &error) || text.isEmpty()) {
        return false;
    }
    // "kernel/drivers/gpu/drm/i915/i915.ko.xz: dependencies...", a path relative
    // to the tree unless depmod found the file elsewhere.
    QHash<QString, QString> paths;
    for (int start = 0; start < text.size();) {
        int end = text.indexOf('\n', start);
        if (end < 0) {
            end = text.size();
        }
        const auto *found = static_cast<const char *>(std::memchr(text.constData() + start, ':', size_t(end - start)));
        const int colon = found ? int(found - text.constData()) : -1;
        if (colon > start) {
            const QByteArray entry = text.mid(start, colon - start);
            const QByteArray fileName = entry.mid(entry.lastIndexOf('/') + 1);
            if (const size_t nameLength = moduleNameLength(fileName.constData())) {
                const QString key = ModuleName::normalized(QFile::decodeName(fileName.left(int(nameLength))));
                if (!paths.contains(key)) {
                    paths.insert(key, entry.startsWith('/') ? QFile::decodeName(entry) : m_root + QLatin1Char('/') + QFile::decodeName(entry));
                }
            }
        }
        start = end + 1;
    }
    m_paths = paths;
    m_complete = true;
    return true;
}

void ModuleTree::locate(const QSet<QString> &moduleNames)
{
    if (m_complete || readIndex()) {
        return;
    }
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
    for (const QString &key : std::as_const(wanted)) {
        m_paths.insert(key, found.value(key));
    }
}

QString ModuleTree::path(const QString &moduleName)
{
    locate({moduleName});
    return m_paths.value(ModuleName::normalized(moduleName));
}

void ModuleTree::locateAll()
{
    if (m_complete || readIndex()) {
        return;
    }
    m_paths = indexAll();
    m_complete = true;
}

QHash<QString, QString> ModuleTree::indexAll()
{
    QHash<QString, QString> all;
    Walker(nullptr, &all).run(QFile::encodeName(m_root));
    return all;
}
