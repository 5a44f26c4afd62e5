// SPDX-License-Identifier: GPL-2.0-or-later
#include "modinfosection.h"

#include <QFile>

#include <cstring>
#include <elf.h>

namespace
{
constexpr size_t maxValueLength = 1024 * 1024;

// A view of the mapped file that refuses every read past its end, so that a
// truncated or hostile object file can never make us read out of bounds.
class Bytes
{
public:
    Bytes(const uchar *data, qint64 size)
        : m_data(data)
        , m_size(quint64(size))
    {
    }

    template<typename T>
    bool read(quint64 offset, T *out) const
    {
        if (offset > m_size || m_size - offset < sizeof(T)) {
            return false;
        }
        std::memcpy(out, m_data + offset, sizeof(T));
        return true;
    }

    bool contains(quint64 offset, quint64 length) const
    {
        return offset <= m_size && m_size - offset >= length;
    }
    const char *at(quint64 offset) const
    {
        return reinterpret_cast<const char *>(m_data + offset);
    }

private:
    const uchar *m_data;
    quint64 m_size;
};

struct Section {
    quint64 offset = 0;
    quint64 size = 0;
};

template<typename Ehdr, typename Shdr>
bool findSection(const Bytes &bytes, const char *wanted, Section *found)
{
    Ehdr header;
    if (!bytes.read(0, &header) || header.e_shentsize != sizeof(Shdr) || header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    Shdr names;
    if (!bytes.read(header.e_shoff + quint64(header.e_shstrndx) * sizeof(Shdr), &names) || !bytes.contains(names.sh_offset, names.sh_size)) {
        return false;
    }
    const size_t wantedLength = std::strlen(wanted) + 1;
    for (quint64 i = 0; i < header.e_shnum; ++i) {
        Shdr section;
        if (!bytes.read(header.e_shoff + i * sizeof(Shdr), &section)) {
            return false;
        }
        if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < wantedLength) {
            continue;
        }
        if (std::memcmp(bytes.at(names.sh_offset + section.sh_name), wanted, wantedLength) != 0) {
            continue;
        }
        if (section.sh_type == SHT_NOBITS || !bytes.contains(section.sh_offset, section.sh_size)) {
            return false;
        }
        found->offset = section.sh_offset;
        found->size = section.sh_size;
        return true;
    }
    return false;
}
}

QByteArray ModinfoSection::value(const QString &koPath, const QByteArray &key)
{
    QFile file(koPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() < EI_NIDENT) {
        return {};
    }
    const uchar *data = file.map(0, file.size());
    if (!data) {
        return {};
    }
    const Bytes bytes(data, file.size());
    if (std::memcmp(data, ELFMAG, SELFMAG) != 0) {
        return {};
    }
    // Modules are built for the machine they run on; an object of the other byte
    // order cannot be loaded here, so it is not worth decoding.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr unsigned char nativeData = ELFDATA2LSB;
#else
    constexpr unsigned char nativeData = ELFDATA2MSB;
#endif
    if (data[EI_DATA] != nativeData) {
        return {};
    }
    Section modinfo;
    bool found = false;
    if (data[EI_CLASS] == ELFCLASS64) {
        found = findSection<Elf64_Ehdr, Elf64_Shdr>(bytes, ".modinfo", &modinfo);
    } else if (data[EI_CLASS] == ELFCLASS32) {
        found = findSection<Elf32_Ehdr, Elf32_Shdr>(bytes, ".modinfo", &modinfo);
    }
    if (!found) {
        return {};
    }

    const QByteArray prefix = key + '=';
    const char *record = bytes.at(modinfo.offset);
    const char *end = record + modinfo.size;
    while (record < end) {
        const auto *nul = static_cast<const char *>(std::memchr(record, '\0', size_t(end - record)));
        const char *recordEnd = nul ? nul : end;
        const size_t length = size_t(recordEnd - record);
        if (length >= size_t(prefix.size()) && std::memcmp(record, prefix.constData(), size_t(prefix.size())) == 0) {
            // No record of a real module comes near this; one of gigabytes would not
            // even fit a QByteArray.
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
