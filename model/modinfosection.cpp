// SPDX-License-Identifier: GPL-2.0-or-later
#include "modinfosection.h"
#include "modulefile.h"

#include <cstring>
#include <elf.h>

namespace
{
constexpr size_t maxValueLength = 1024 * 1024;
// Real modules hold a few kilobytes of each; anything near these is a crafted file
// and is not read into memory.
constexpr quint64 maxNamesLength = 1024 * 1024;
constexpr quint64 maxSectionLength = 16 * 1024 * 1024;

// The bytes [offset, offset + length) of the module, cut at the end of the file
// when partial is true; otherwise a null array unless all of them are there.
// Reading only where the ELF headers point costs far less than mapping a module
// of megabytes and faulting in the pages that hold them.
QByteArray readPiece(ModuleFile &file, quint64 offset, quint64 length, bool partial = false)
{
    quint64 size = 0;
    if (!file.size(&size) || offset > size) {
        return {};
    }
    if (size - offset < length) {
        if (!partial) {
            return {};
        }
        length = size - offset;
    }
    QByteArray bytes;
    if (length > maxSectionLength || !file.readAt(offset, length, &bytes)) {
        return {};
    }
    return bytes;
}

template<typename T>
bool readAt(const QByteArray &bytes, quint64 offset, T *out)
{
    if (offset > quint64(bytes.size()) || quint64(bytes.size()) - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(out, bytes.constData() + offset, sizeof(T));
    return true;
}

template<typename Ehdr, typename Shdr>
QByteArray findSection(ModuleFile &file, const QByteArray &start, const char *wanted)
{
    Ehdr header;
    if (!readAt(start, 0, &header) || header.e_shentsize != sizeof(Shdr) || header.e_shstrndx >= header.e_shnum) {
        return {};
    }
    // The table as far as the file holds it: the sections before a cut are still
    // looked at.
    const QByteArray table = readPiece(file, header.e_shoff, quint64(header.e_shnum) * sizeof(Shdr), true);
    Shdr names;
    if (!readAt(table, quint64(header.e_shstrndx) * sizeof(Shdr), &names) || names.sh_size > maxNamesLength) {
        return {};
    }
    const QByteArray nameTable = readPiece(file, names.sh_offset, names.sh_size);
    if (nameTable.size() != int(names.sh_size)) {
        return {};
    }
    const size_t wantedLength = std::strlen(wanted) + 1;
    for (quint64 i = 0; i < header.e_shnum; ++i) {
        Shdr section;
        if (!readAt(table, i * sizeof(Shdr), &section)) {
            return {};
        }
        if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < wantedLength) {
            continue;
        }
        if (std::memcmp(nameTable.constData() + section.sh_name, wanted, wantedLength) != 0) {
            continue;
        }
        if (section.sh_type == SHT_NOBITS) {
            return {};
        }
        return readPiece(file, section.sh_offset, section.sh_size);
    }
    return {};
}
}

QByteArray ModinfoSection::value(const QString &koPath, const QByteArray &key)
{
    // A FIFO named like a module must not hang the listing: it is refused unopened.
    ModuleFile file(koPath);
    return value(file, key);
}

QByteArray ModinfoSection::value(ModuleFile &file, const QByteArray &key)
{
    // As much of the ELF header as the image holds, a 32-bit one being shorter.
    // Its start is read before the image's size is asked for, so that a zstd or
    // gzip stream that holds no ELF object is not decoded to its end.
    QByteArray start;
    if (!file.readAt(0, sizeof(Elf64_Ehdr), &start) && !file.readAt(0, sizeof(Elf32_Ehdr), &start) && !file.readAt(0, EI_NIDENT, &start)) {
        return {};
    }
    const auto *ident = reinterpret_cast<const unsigned char *>(start.constData());
    if (start.size() < EI_NIDENT || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        return {};
    }
    // Modules are built for the machine they run on; an object of the other byte
    // order cannot be loaded here, so it is not worth decoding.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr unsigned char nativeData = ELFDATA2LSB;
#else
    constexpr unsigned char nativeData = ELFDATA2MSB;
#endif
    if (ident[EI_DATA] != nativeData) {
        return {};
    }
    QByteArray modinfo;
    if (ident[EI_CLASS] == ELFCLASS64) {
        modinfo = findSection<Elf64_Ehdr, Elf64_Shdr>(file, start, ".modinfo");
    } else if (ident[EI_CLASS] == ELFCLASS32) {
        modinfo = findSection<Elf32_Ehdr, Elf32_Shdr>(file, start, ".modinfo");
    }

    const QByteArray prefix = key + '=';
    const char *record = modinfo.constData();
    const char *end = record + modinfo.size();
    while (record < end) {
        const auto *nul = static_cast<const char *>(std::memchr(record, '\0', size_t(end - record)));
        const char *recordEnd = nul ? nul : end;
        const size_t length = size_t(recordEnd - record);
        if (length >= size_t(prefix.size()) && std::memcmp(record, prefix.constData(), size_t(prefix.size())) == 0) {
            const size_t valueLength = length - size_t(prefix.size());
            if (valueLength > maxValueLength) {
                return {};
            }
            return QByteArray(record + prefix.size(), int(valueLength));
        }
        record = recordEnd + 1;
    }
    return {};
}
