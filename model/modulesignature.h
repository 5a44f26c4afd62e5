// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

class ModuleFile;

// Which key made a signature, or which key a certificate holds: by the issuer
// and serial number of its certificate, or by its subject key identifier (what
// sign-file writes with -k). The kernel finds the key for a module in the same
// two ways.
struct KeyIdentity {
    QByteArray issuer; // the DER encoding of the certificate issuer's name
    QByteArray serial; // without leading zero bytes
    QByteArray keyId; // subject key identifier

    bool isNull() const
    {
        return serial.isEmpty() && keyId.isEmpty();
    }
    // Whether a signature by this identity is verified by a certificate with
    // the identity certificate.
    bool matches(const KeyIdentity &certificate) const;
};

// The signature that the kernel's sign-file appends to a module file, as
// modinfo shows it ("signer", "sig_key").
struct ModuleSignature {
    enum class Status {
        Unsigned, // no signature marker at the end of the file
        Signed,
        Unreadable, // a marker, but nothing we can read as a PKCS#7 signature
        Missing, // the file cannot be read
        Damaged, // a compressed file that cannot be decompressed
    };

    Status status = Status::Missing;
    QString signer; // the common name of the signing certificate's issuer
    KeyIdentity key;

    // The key as modinfo prints "sig_key": hex bytes joined by ':'.
    QString sigKey() const;

    // Reads only the end of the file, however large it is (of a compressed
    // file, only the end of the decompressed image).
    static ModuleSignature read(const QString &path);
    static ModuleSignature read(ModuleFile &file);
    // The signature in the last bytes of a module file (at least the marker
    // and what precedes it up to the signature's start).
    static ModuleSignature fromTail(const QByteArray &tail);
};

// An X.509 certificate, as far as telling which signatures it verifies.
struct Certificate {
    KeyIdentity identity; // issuer, serial and subject key identifier
    QString subject; // the subject's common name

    bool isNull() const
    {
        return identity.isNull();
    }
    // A DER certificate, or a PEM one; a null certificate when neither.
    static Certificate parse(const QByteArray &data);
};
