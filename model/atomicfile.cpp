// SPDX-License-Identifier: GPL-2.0-or-later
#include "atomicfile.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace
{
// Far beyond any configuration file; keeps a link to something huge from
// exhausting the helper's memory.
constexpr qint64 maxFileSize = 64 * 1024 * 1024;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Retries what a signal interrupted; returns the call's result.
template<typename Call>
auto retrying(Call call)
{
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

bool writeAll(int fd, const QByteArray &data)
{
    const char *next = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        const ssize_t written = retrying([&] {
            return ::write(fd, next, left);
        });
        if (written < 0) {
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        next += written;
        left -= size_t(written);
    }
    return true;
}

// The file a write to path must replace: the path itself, or for a symbolic link
// the file it finally leads to (modprobe and the X server follow links too).
bool resolveTarget(const QByteArray &path, QByteArray *target, QString *error)
{
    struct stat info;
    if (lstat(path.constData(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        *target = path;
        return true;
    }
    char resolved[PATH_MAX];
    if (!realpath(path.constData(), resolved)) {
        *error = QStringLiteral("cannot follow the symbolic link: ") + systemError(errno);
        return false;
    }
    *target = resolved;
    return true;
}

AtomicFile::Ownership ownershipFromStat(const struct stat &info)
{
    return {info.st_uid, info.st_gid, mode_t(info.st_mode & 07777)};
}

// Gives the new file (open as fd) every extended attribute of the old file at
// path; false with errno set when one cannot be copied.
bool copyExtendedAttributes(const QByteArray &path, int fd)
{
    ssize_t size = llistxattr(path.constData(), nullptr, 0);
    if (size < 0) {
        // A file system without extended attributes has none to lose.
        return errno == ENOTSUP;
    }
    QByteArray names(int(size), '\0');
    size = llistxattr(path.constData(), names.data(), size_t(names.size()));
    if (size < 0) {
        return false;
    }
    names.resize(int(size));
    for (const QByteArray &name : names.split('\0')) {
        // IMA and EVM describe the old content: the kernel makes them anew.
        if (name.isEmpty() || name == "security.ima" || name == "security.evm") {
            continue;
        }
        const ssize_t length = lgetxattr(path.constData(), name.constData(), nullptr, 0);
        if (length < 0) {
            return false;
        }
        QByteArray value(int(length), '\0');
        const ssize_t read = lgetxattr(path.constData(), name.constData(), value.data(), size_t(value.size()));
        if (read < 0) {
            return false;
        }
        // A user may read labels that only root may set: their own files keep
        // what the system gives a new file there.
        if (fsetxattr(fd, name.constData(), value.constData(), size_t(read), 0) != 0 && (geteuid() == 0 || (errno != EPERM && errno != EACCES))) {
            return false;
        }
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &data, QString *error, const AtomicFile::Ownership *given, bool forced)
{
    QByteArray target;
    if (!resolveTarget(QFile::encodeName(path), &target, error)) {
        return false;
    }
    AtomicFile::Ownership ownership = given ? *given : AtomicFile::Ownership{geteuid(), getegid(), 0644};
    bool replaces = false;
    struct stat info;
    if (lstat(target.constData(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            *error = QStringLiteral("not a regular file");
            return false;
        }
        if (info.st_nlink > 1) {
            *error = QStringLiteral("the file has %1 names (hard links), which a replacement would separate").arg(info.st_nlink);
            return false;
        }
        if (!forced) {
            ownership = ownershipFromStat(info);
        }
        replaces = true;
    } else if (errno != ENOENT) {
        *error = systemError(errno);
        return false;
    }

    // Hidden, so that nothing scanning the directory takes it for configuration.
    const int slash = target.lastIndexOf('/');
    QByteArray temporary = target.left(slash + 1) + '.' + target.mid(slash + 1) + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    const auto fail = [&](int code) {
        *error = systemError(code);
        ::close(fd);
        ::unlink(temporary.constData());
        return false;
    };
    if (!writeAll(fd, data)) {
        return fail(errno);
    }
    if (replaces && !copyExtendedAttributes(target, fd)) {
        return fail(errno);
    }
    // Owner first: changing it clears the setuid and setgid bits, which the mode then
    // sets. Only when it differs, as only root may give a file away.
    struct stat made;
    if (fstat(fd, &made) != 0) {
        return fail(errno);
    }
    if ((made.st_uid != ownership.owner || made.st_gid != ownership.group) && fchown(fd, ownership.owner, ownership.group) != 0) {
        return fail(errno);
    }
    if (fchmod(fd, ownership.mode) != 0) {
        return fail(errno);
    }
    // Some file systems report a full disk only when the data reaches it.
    if (retrying([&] {
            return fsync(fd);
        })
        != 0) {
        return fail(errno);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        *error = systemError(code);
        return false;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        *error = systemError(code);
        return false;
    }
    // Make the rename itself durable; a directory that cannot be synced is no failure
    // of the write, which is complete.
    const int directory = ::open(slash > 0 ? target.left(slash).constData() : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        ::close(directory);
    }
    return true;
}
}

bool AtomicFile::ownershipOf(const QString &path, Ownership *ownership)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    *ownership = ownershipFromStat(info);
    return true;
}

bool AtomicFile::write(const QString &path, const QByteArray &data, QString *error, const Ownership *newFile)
{
    return writeFile(path, data, error, newFile, false);
}

bool AtomicFile::writeAs(const QString &path, const QByteArray &data, QString *error, const Ownership &ownership)
{
    return writeFile(path, data, error, &ownership, true);
}

bool AtomicFile::append(const QString &path, const QByteArray &data, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    const bool written = writeAll(fd, data)
        && retrying([&] {
               return fsync(fd);
           })
            == 0;
    const int code = errno;
    if (!written) {
        // A part may have reached the disk before it filled up.
        if (ftruncate(fd, info.st_size) == 0) {
            fsync(fd);
        }
        *error = systemError(code);
    }
    // Synced already: what close could still report is no longer about this data.
    ::close(fd);
    return written;
}

bool AtomicFile::isTemporaryName(const QString &name)
{
    // "." + the file's name + "." + mkostemp's six characters.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("\\..+\\.[A-Za-z0-9]{6}")));
    return pattern.match(name).hasMatch();
}

bool AtomicFile::read(const QString &path, QByteArray *data, QString *error)
{
    const ReadOnlyFile file(path);
    if (!file.isOpen()) {
        *error = file.error();
        return false;
    }
    return file.readAll(maxFileSize, data, error);
}

AtomicFile::ReadOnlyFile::ReadOnlyFile(const QString &path)
{
    // Not blocking on open: a FIFO without a writer would otherwise hang here.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        m_error = systemError(errno);
        return;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        m_error = QStringLiteral("not a regular file");
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_size = quint64(info.st_size);
}

AtomicFile::ReadOnlyFile::~ReadOnlyFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool AtomicFile::ReadOnlyFile::readAt(quint64 offset, quint64 length, QByteArray *data) const
{
    if (m_fd < 0 || length > quint64(INT_MAX) || offset > quint64(std::numeric_limits<off_t>::max())) {
        return false;
    }
    QByteArray bytes(int(length), Qt::Uninitialized);
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t count = retrying([&] {
            return pread(m_fd, bytes.data() + done, size_t(bytes.size() - done), off_t(offset + quint64(done)));
        });
        if (count <= 0) {
            return false;
        }
        done += int(count);
    }
    *data = bytes;
    return true;
}

bool AtomicFile::ReadOnlyFile::readAll(qint64 maxSize, QByteArray *data, QString *error) const
{
    QByteArray content;
    char buffer[65536];
    for (;;) {
        const ssize_t count = retrying([&] {
            return ::read(m_fd, buffer, sizeof(buffer));
        });
        if (count < 0) {
            *error = systemError(errno);
            return false;
        }
        if (count == 0) {
            break;
        }
        if (content.size() + count > maxSize) {
            *error = QStringLiteral("file too large");
            return false;
        }
        content.append(buffer, int(count));
    }
    *data = content;
    return true;
}
