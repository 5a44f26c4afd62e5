// SPDX-License-Identifier: GPL-2.0-or-later
#include "derreader.h"

bool DerReader::peekTag(quint8 *tag) const
{
    if (m_failed || atEnd()) {
        return false;
    }
    *tag = quint8(m_data.at(m_offset));
    return true;
}

bool DerReader::next(Element *element)
{
    quint8 tag = 0;
    if (!peekTag(&tag) || (tag & 0x1f) == 0x1f) {
        m_failed = true;
        return false;
    }
    const qint64 size = m_data.size();
    qint64 offset = m_offset + 1;
    if (offset >= size) {
        m_failed = true;
        return false;
    }
    const quint8 first = quint8(m_data.at(int(offset++)));
    qint64 length = first;
    if (first & 0x80) {
        // Long form; 0x80 alone is BER's indefinite length, which DER forbids.
        const int bytes = first & 0x7f;
        if (bytes == 0 || bytes > 4 || offset + bytes > size) {
            m_failed = true;
            return false;
        }
        length = 0;
        for (int i = 0; i < bytes; ++i) {
            length = (length << 8) | quint8(m_data.at(int(offset++)));
        }
    }
    if (length > size - offset) {
        m_failed = true;
        return false;
    }
    element->tag = tag;
    element->content = m_data.mid(int(offset), int(length));
    element->encoded = m_data.mid(m_offset, int(offset + length - m_offset));
    m_offset = int(offset + length);
    return true;
}

bool DerReader::next(quint8 tag, Element *element)
{
    quint8 found = 0;
    if (!peekTag(&found) || found != tag) {
        return false;
    }
    return next(element);
}

void DerReader::skipOptional(quint8 tag)
{
    Element ignored;
    next(tag, &ignored);
}

QString DerReader::commonName(const QByteArray &nameContent)
{
    static const QByteArray commonNameId = QByteArray::fromHex("550403");
    DerReader name(nameContent);
    Element rdn;
    while (name.next(Set, &rdn)) {
        DerReader attributes(rdn.content);
        Element attribute;
        while (attributes.next(Sequence, &attribute)) {
            DerReader pair(attribute.content);
            Element type;
            Element value;
            if (!pair.next(ObjectId, &type) || type.content != commonNameId || !pair.next(&value)) {
                continue;
            }
            switch (value.tag) {
            case 0x1e: { // BMPString: UCS-2, big-endian
                QString text;
                for (int i = 0; i + 1 < value.content.size(); i += 2) {
                    text.append(QChar(ushort(quint8(value.content.at(i)) << 8 | quint8(value.content.at(i + 1)))));
                }
                return text;
            }
            case 0x14: // TeletexString, in practice Latin-1
                return QString::fromLatin1(value.content);
            default: // UTF8String, PrintableString, IA5String
                return QString::fromUtf8(value.content);
            }
        }
    }
    return QString();
}

QByteArray DerReader::unsignedValue(const QByteArray &integerContent)
{
    int start = 0;
    while (start < integerContent.size() - 1 && integerContent.at(start) == '\0') {
        ++start;
    }
    return integerContent.mid(start);
}
