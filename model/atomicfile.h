// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace AtomicFile
{
// Owner, group and permission bits (setuid, setgid and sticky included).
struct Ownership {
    uid_t owner;
    gid_t group;
    mode_t mode;
};

// Replaces the file at path with data: written to a hidden temporary file in the
// same directory, synced to disk and renamed over the old file. The new file
// keeps the old one's owner, group and mode; a file that did not exist gets
// newFile, or when not given belongs to the process's user and group with mode
// 0644. A path that is a symbolic link has the file it leads to replaced, and
// stays a link.
//
// The new file also gets the old one's extended attributes (security labels
// among them). A file with more than one name is refused rather than replaced,
// as a rename would give only this name the new content.
//
// Every write, the sync and the close are checked, so a full disk or a failing
// device makes this a failure with the old file untouched and no temporary file
// left behind: error then holds the reason.
bool write(const QString &path, const QByteArray &data, QString *error, const Ownership *newFile = nullptr);

// Like write(), but the file gets ownership whatever the old file had (for
// putting back a file as it was recorded).
bool writeAs(const QString &path, const QByteArray &data, QString *error, const Ownership &ownership);

// Appends data to the existing regular file at path (or the one a link leads
// to) in place, so that its owner, group, mode and other names stay. Written,
// synced and checked; on any failure the file is cut back to its old length,
// exactly as it was.
bool append(const QString &path, const QByteArray &data, QString *error);

// Whether name is one of the hidden temporary files write() makes next to the
// file it replaces, which a process killed while writing leaves behind.
bool isTemporaryName(const QString &name);

// Reads the whole of a regular file (or of the regular file a link leads to).
// A FIFO, device or directory is refused without being opened for reading, so
// that it can neither block nor feed endless data.
bool read(const QString &path, QByteArray *data, QString *error);

// A regular file (or the regular file a link leads to) open for reading, for
// readers that want only some of it; refused like a FIFO, device or directory
// is by read().
class ReadOnlyFile
{
public:
    explicit ReadOnlyFile(const QString &path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    // Whether path is a regular file and could be opened; error() says why not.
    bool isOpen() const
    {
        return m_fd >= 0;
    }
    QString error() const
    {
        return m_error;
    }
    // The size when it was opened.
    quint64 size() const
    {
        return m_size;
    }

    // The length bytes at offset; false unless every one of them could be read.
    bool readAt(quint64 offset, quint64 length, QByteArray *data) const;
    // Everything from the current position to the end, at most maxSize bytes.
    bool readAll(qint64 maxSize, QByteArray *data, QString *error) const;

private:
    int m_fd = -1;
    quint64 m_size = 0;
    QString m_error;
};

// The owner, group and mode of the regular file path (or of the file a link
// leads to); false when it is no such file.
bool ownershipOf(const QString &path, Ownership *ownership);
}
