// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <cstring>
#include <elf.h>

namespace TestFiles
{
inline bool write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A relocatable ELF object shaped like a kernel module: .rodata first (where
// modules keep format strings, some of which contain "name="), then .modinfo
// with NUL-terminated records.
template<typename Ehdr, typename Shdr, unsigned char elfClass>
QByteArray elfObject(const QList<QByteArray> &modinfo, const QByteArray &rodata, bool withModinfo)
{
    QByteArray info;
    for (const QByteArray &record : modinfo) {
        info += record + '\0';
    }
    const QByteArray names = withModinfo ? QByteArray("\0.rodata\0.modinfo\0.shstrtab\0", 28) : QByteArray("\0.rodata\0.other\0.shstrtab\0", 26);
    const quint32 nameOffsets[] = {1, 9, quint32(withModinfo ? 18 : 16)};

    QByteArray body(sizeof(Ehdr), '\0');
    QList<Shdr> sections;
    Shdr null;
    std::memset(&null, 0, sizeof(null));
    sections.append(null);
    const QByteArray contents[] = {rodata, info, names};
    for (int i = 0; i < 3; ++i) {
        Shdr section;
        std::memset(&section, 0, sizeof(section));
        section.sh_name = nameOffsets[i];
        section.sh_type = i == 2 ? SHT_STRTAB : SHT_PROGBITS;
        section.sh_offset = decltype(section.sh_offset)(body.size());
        section.sh_size = decltype(section.sh_size)(contents[i].size());
        section.sh_addralign = 1;
        sections.append(section);
        body += contents[i];
    }
    while (body.size() % 8) {
        body += '\0';
    }
    Ehdr header;
    std::memset(&header, 0, sizeof(header));
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = elfClass;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_REL;
    header.e_machine = elfClass == ELFCLASS64 ? EM_X86_64 : EM_386;
    header.e_version = EV_CURRENT;
    header.e_shoff = decltype(header.e_shoff)(body.size());
    header.e_ehsize = sizeof(Ehdr);
    header.e_shentsize = sizeof(Shdr);
    header.e_shnum = 4;
    header.e_shstrndx = 3;
    std::memcpy(body.data(), &header, sizeof(header));
    for (const Shdr &section : std::as_const(sections)) {
        body.append(reinterpret_cast<const char *>(&section), sizeof(section));
    }
    return body;
}

inline QByteArray module(const QList<QByteArray> &modinfo, const QByteArray &rodata = QByteArray(), bool withModinfo = true)
{
    return elfObject<Elf64_Ehdr, Elf64_Shdr, ELFCLASS64>(modinfo, rodata, withModinfo);
}

inline QByteArray module32(const QList<QByteArray> &modinfo)
{
    return elfObject<Elf32_Ehdr, Elf32_Shdr, ELFCLASS32>(modinfo, QByteArray(), true);
}
}
