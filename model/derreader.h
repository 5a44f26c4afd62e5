// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// Reads DER, the encoding of ASN.1 that X.509 certificates and the PKCS#7
// signatures of kernel modules use. Each length is checked against what is left
// of the enclosing element, so a cut or crafted input ends the reading instead
// of reading past it. Only what those formats need: one-byte tags and definite
// lengths up to 2 GiB.
class DerReader
{
public:
    struct Element {
        quint8 tag = 0;
        QByteArray content; // without tag and length
        QByteArray encoded; // tag, length and content
    };

    static constexpr quint8 Integer = 0x02;
    static constexpr quint8 OctetString = 0x04;
    static constexpr quint8 ObjectId = 0x06;
    static constexpr quint8 Sequence = 0x30;
    static constexpr quint8 Set = 0x31;
    // [n] of a constructed element with context-specific tag n.
    static constexpr quint8 context(int n)
    {
        return quint8(0xa0 + n);
    }

    explicit DerReader(const QByteArray &data)
        : m_data(data)
    {
    }

    bool atEnd() const
    {
        return m_offset >= m_data.size();
    }

    // The next element; false when there is none or it is malformed, and then
    // every later call fails too.
    bool next(Element *element);
    // The next element when its tag is tag; false otherwise, without consuming it.
    bool next(quint8 tag, Element *element);
    // Skips the next element when its tag is tag.
    void skipOptional(quint8 tag);

    // The first common name (2.5.4.3) of an X.501 name's content, or an empty string.
    static QString commonName(const QByteArray &nameContent);
    // An INTEGER's content without its leading zero bytes, as modinfo prints a key id.
    static QByteArray unsignedValue(const QByteArray &integerContent);

private:
    bool peekTag(quint8 *tag) const;

    QByteArray m_data;
    int m_offset = 0;
    bool m_failed = false;
};
