// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// A kernel module file as kmod reads it: a plain ELF object, or one compressed
// with xz, zstd or gzip, told apart by their magic numbers and not by the file
// name, as kmod does. Debian 13 compresses every module with xz, Ubuntu with
// zstd.
//
// Reads give bytes of the module image, the decompressed object, and
// decompress only as far as they need: xz files of the kernel's build are cut
// into independent blocks of a few megabytes, listed in an index at the end of
// the file, so a read there decodes only the blocks it touches; zstd and gzip
// streams are decoded from their start up to the end of the read.
//
// Whatever the file claims or produces, no image of more than maxImageSize is
// decoded, and a cut, corrupt or unknown stream only makes reads fail. A
// stream's checksum covers what follows a read too, so it is verified only
// where a read reaches the end of an xz block or of a zstd or gzip stream (the
// signature's read always does); bytes read before that are as the decoder
// gave them.
class ModuleFile
{
public:
    enum class Compression {
        None,
        Xz,
        Zstd,
        Gzip,
    };

    // Far more than the largest module Debian ships (nvidia's, about 90 MiB).
    static constexpr quint64 maxImageSize = quint64(256) << 20;

    explicit ModuleFile(const QString &path);
    ~ModuleFile();
    ModuleFile(const ModuleFile &) = delete;
    ModuleFile &operator=(const ModuleFile &) = delete;

    // Whether path is a regular file that could be opened. A FIFO or device
    // named like a module is refused unopened, so nothing waits on it.
    bool isOpen() const;
    Compression compression() const;

    // The size of the image; false when it cannot be told (the stream is
    // damaged or too large). For zstd and gzip this decodes the whole stream.
    bool size(quint64 *size);
    // The length bytes of the image at offset; false unless every one of them
    // could be read.
    bool readAt(quint64 offset, quint64 length, QByteArray *data);

    // The file name endings of module files, in the order kmod's build tools
    // know them; as bytes for walks that look at thousands of names.
    static constexpr const char *suffixBytes[] = {".ko", ".ko.gz", ".ko.xz", ".ko.zst"};
    static QStringList suffixes();
    // The module name a file name stands for (its name without the ending),
    // or an empty string when it does not end like a module file.
    static QString moduleNameOf(const QString &fileName);

    class Decoder;

private:
    std::unique_ptr<Decoder> m_decoder;
    Compression m_compression = Compression::None;
};
