// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace FuzzInput
{
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A file holding the input, in memory, named as the code under test opens files.
class MemoryFile
{
public:
    explicit MemoryFile(const QByteArray &content)
        : m_fd(memfd_create("fuzz", MFD_CLOEXEC))
    {
        if (m_fd < 0 || ::write(m_fd, content.constData(), size_t(content.size())) != content.size()) {
            std::abort();
        }
    }
    ~MemoryFile()
    {
        ::close(m_fd);
    }
    QString path() const
    {
        return QStringLiteral("/proc/self/fd/%1").arg(m_fd);
    }

private:
    int m_fd;
};

// Stops the fuzzer: an invariant of the code under test is broken.
[[noreturn]] inline void fail(const char *what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
}
