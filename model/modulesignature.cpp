// SPDX-License-Identifier: GPL-2.0-or-later
#include "modulesignature.h"
#include "atomicfile.h"
#include "derreader.h"
#include "modulefile.h"

#include <QtEndian>

namespace
{
const QByteArray marker = QByteArrayLiteral("~Module signature appended~\n");
// The kernel's struct module_signature between the signature and the marker:
// algorithm, hash, id type, signer and key id lengths, three bytes of padding
// and the signature's length, big-endian.
constexpr int infoSize = 12;
constexpr int trailerSize = infoSize + 28;
constexpr quint8 idPkcs7 = 2;
// Far more than any signature without certificates; bounds what a crafted
// length makes us read.
constexpr quint32 maxSignatureSize = 1024 * 1024;

quint32 signatureLength(const QByteArray &info)
{
    return qFromBigEndian<quint32>(info.constData() + 8);
}

// The signer of the first SignerInfo of a PKCS#7 SignedData message.
bool readSigner(const QByteArray &pkcs7, ModuleSignature *signature)
{
    using E = DerReader::Element;
    E contentInfo, type, explicitContent, signedData, version, digests, content, signerInfos, signerInfo;
    DerReader outer(pkcs7);
    if (!outer.next(DerReader::Sequence, &contentInfo)) {
        return false;
    }
    DerReader info(contentInfo.content);
    if (!info.next(DerReader::ObjectId, &type) || type.content != QByteArray::fromHex("2a864886f70d010702")
        || !info.next(DerReader::context(0), &explicitContent)) {
        return false;
    }
    DerReader explicitReader(explicitContent.content);
    if (!explicitReader.next(DerReader::Sequence, &signedData)) {
        return false;
    }
    DerReader data(signedData.content);
    if (!data.next(DerReader::Integer, &version) || !data.next(DerReader::Set, &digests) || !data.next(DerReader::Sequence, &content)) {
        return false;
    }
    data.skipOptional(DerReader::context(0)); // certificates
    data.skipOptional(DerReader::context(1)); // revocation lists
    if (!data.next(DerReader::Set, &signerInfos)) {
        return false;
    }
    DerReader infos(signerInfos.content);
    if (!infos.next(DerReader::Sequence, &signerInfo)) {
        return false;
    }
    DerReader signer(signerInfo.content);
    E signerVersion, identifier;
    if (!signer.next(DerReader::Integer, &signerVersion) || !signer.next(&identifier)) {
        return false;
    }
    if (identifier.tag == DerReader::Sequence) {
        // issuerAndSerialNumber
        DerReader issuerAndSerial(identifier.content);
        E issuer, serial;
        if (!issuerAndSerial.next(DerReader::Sequence, &issuer) || !issuerAndSerial.next(DerReader::Integer, &serial)) {
            return false;
        }
        signature->key.issuer = issuer.encoded;
        signature->key.serial = DerReader::unsignedValue(serial.content);
        signature->signer = DerReader::commonName(issuer.content);
        return !signature->key.serial.isEmpty();
    }
    if (identifier.tag == 0x80) {
        // [0] IMPLICIT subjectKeyIdentifier
        signature->key.keyId = identifier.content;
        return !identifier.content.isEmpty();
    }
    return false;
}

QByteArray hexJoined(const QByteArray &bytes)
{
    return bytes.toHex(':').toUpper();
}
}

bool KeyIdentity::matches(const KeyIdentity &certificate) const
{
    if (!serial.isEmpty()) {
        return serial == certificate.serial && issuer == certificate.issuer;
    }
    return !keyId.isEmpty() && keyId == certificate.keyId;
}

QString ModuleSignature::sigKey() const
{
    return QString::fromLatin1(hexJoined(key.serial.isEmpty() ? key.keyId : key.serial));
}

ModuleSignature ModuleSignature::fromTail(const QByteArray &tail)
{
    ModuleSignature signature;
    if (tail.size() < trailerSize || !tail.endsWith(marker)) {
        signature.status = Status::Unsigned;
        return signature;
    }
    signature.status = Status::Unreadable;
    const QByteArray info = tail.mid(tail.size() - trailerSize, infoSize);
    const quint32 length = signatureLength(info);
    if (quint8(info.at(2)) != idPkcs7 || length == 0 || length > quint32(tail.size() - trailerSize)) {
        return signature;
    }
    const QByteArray pkcs7 = tail.mid(tail.size() - trailerSize - int(length), int(length));
    if (readSigner(pkcs7, &signature)) {
        signature.status = Status::Signed;
    } else {
        signature.signer.clear();
        signature.key = KeyIdentity();
    }
    return signature;
}

ModuleSignature ModuleSignature::read(const QString &path)
{
    ModuleFile file(path);
    return read(file);
}

ModuleSignature ModuleSignature::read(ModuleFile &file)
{
    // A FIFO or device would never end; a module is a regular file.
    ModuleSignature signature;
    if (!file.isOpen()) {
        return signature;
    }
    // The kernel signs the module image before a build compresses it, so the
    // signature is at the end of the decompressed image.
    signature.status = Status::Damaged;
    quint64 size = 0;
    if (!file.size(&size)) {
        return signature;
    }
    if (size < quint64(trailerSize)) {
        return fromTail(QByteArray());
    }
    QByteArray trailer;
    if (!file.readAt(size - trailerSize, trailerSize, &trailer)) {
        return signature;
    }
    if (!trailer.endsWith(marker)) {
        return fromTail(trailer);
    }
    const quint32 length = signatureLength(trailer);
    if (length > maxSignatureSize || quint64(length) > size - trailerSize) {
        return fromTail(trailer); // unreadable: the length points outside the file
    }
    QByteArray tail;
    return file.readAt(size - trailerSize - length, quint64(length) + trailerSize, &tail) ? fromTail(tail) : signature;
}

Certificate Certificate::parse(const QByteArray &data)
{
    QByteArray der = data;
    if (data.startsWith("-----BEGIN")) {
        const int begin = data.indexOf('\n');
        const int end = data.indexOf("-----END");
        if (begin < 0 || end < begin) {
            return Certificate();
        }
        der = QByteArray::fromBase64(data.mid(begin + 1, end - begin - 1));
    }
    using E = DerReader::Element;
    E certificate, tbs, version, serial, algorithm, issuer, validity, subject, publicKey, extensions;
    DerReader outer(der);
    if (!outer.next(DerReader::Sequence, &certificate)) {
        return Certificate();
    }
    DerReader certificateReader(certificate.content);
    if (!certificateReader.next(DerReader::Sequence, &tbs)) {
        return Certificate();
    }
    DerReader fields(tbs.content);
    fields.skipOptional(DerReader::context(0)); // version
    if (!fields.next(DerReader::Integer, &serial) || !fields.next(DerReader::Sequence, &algorithm) || !fields.next(DerReader::Sequence, &issuer)
        || !fields.next(DerReader::Sequence, &validity) || !fields.next(DerReader::Sequence, &subject) || !fields.next(DerReader::Sequence, &publicKey)) {
        return Certificate();
    }
    Certificate parsed;
    parsed.identity.issuer = issuer.encoded;
    parsed.identity.serial = DerReader::unsignedValue(serial.content);
    parsed.subject = DerReader::commonName(subject.content);
    fields.skipOptional(0x81); // issuerUniqueID
    fields.skipOptional(0x82); // subjectUniqueID
    if (fields.next(DerReader::context(3), &extensions)) {
        static const QByteArray subjectKeyIdentifier = QByteArray::fromHex("551d0e");
        DerReader wrapper(extensions.content);
        E list, extension;
        wrapper.next(DerReader::Sequence, &list);
        DerReader entries(list.content);
        while (entries.next(DerReader::Sequence, &extension)) {
            DerReader parts(extension.content);
            E id, value, keyId;
            if (!parts.next(DerReader::ObjectId, &id) || id.content != subjectKeyIdentifier) {
                continue;
            }
            parts.skipOptional(0x01); // critical
            if (parts.next(DerReader::OctetString, &value)) {
                DerReader inner(value.content);
                if (inner.next(DerReader::OctetString, &keyId)) {
                    parsed.identity.keyId = keyId.content;
                }
            }
        }
    }
    return parsed;
}
