// SPDX-License-Identifier: GPL-2.0-or-later
#include "secureboot.h"
#include "atomicfile.h"
#include "driverenvironment.h"
#include "modulefile.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QtEndian>

#include <cstring>

namespace
{
const QLatin1String globalGuid("8be4df61-93ca-11d2-aa0d-00e098032b8c");
const QLatin1String shimGuid("605dab50-e046-4300-abb6-3dd810dd8b23");
// EFI_CERT_X509_GUID as it is laid out in memory.
constexpr char x509Type[] = "\xa1\x59\xc0\xa5\xe4\x94\xa7\x4a\x87\xb5\xab\x15\x5c\x2b\xf0\x72";

// The content of a regular file; nothing for a missing one (or a FIFO, which
// would never end).
bool readFile(const QString &path, QByteArray *data)
{
    QString error;
    return AtomicFile::read(path, data, &error);
}
}

SecureBoot::SecureBoot(const QString &root, const QString &moduleRoot)
    : m_efi(root + QStringLiteral("/sys/firmware/efi"))
    , m_moduleRoot(moduleRoot.isEmpty() ? DriverEnvironment(root).moduleRoot() : moduleRoot)
{
    QByteArray dkmsKey;
    readFile(root + dkmsKeyPath(), &dkmsKey);
    m_dkmsKey = Certificate::parse(dkmsKey);
    if (!QFileInfo(m_efi).isDir()) {
        m_state = State::NoEfi;
        return;
    }
    const QByteArray secureBoot = readVariable(QStringLiteral("SecureBoot"), globalGuid);
    if (secureBoot.isEmpty()) {
        const QDir variables(m_efi + QStringLiteral("/efivars"));
        m_state = variables.exists() && !variables.isEmpty() ? State::Off // the firmware knows no Secure Boot
                                                             : State::Unknown; // efivarfs is not mounted
    } else if (secureBoot.at(0) != 1) {
        m_state = State::Off;
    } else {
        // shim's "mokutil --disable-validation" leaves the firmware's Secure Boot
        // on, and Debian's kernel then checks no signatures.
        const QByteArray mokState = readVariable(QStringLiteral("MokSBStateRT"), shimGuid);
        m_state = !mokState.isEmpty() && mokState.at(0) == 1 ? State::ValidationDisabled : State::Enforcing;
    }
    // Large lists are split over MokListRT, MokListRT1, MokListRT2...
    QByteArray lists = readVariable(QStringLiteral("MokListRT"), shimGuid);
    for (int i = 1; i < 64; ++i) {
        const QByteArray part = readVariable(QStringLiteral("MokListRT%1").arg(i), shimGuid);
        if (part.isEmpty()) {
            break;
        }
        lists += part;
    }
    m_enrolled = certificatesOfSignatureLists(lists);
}

QByteArray SecureBoot::readVariable(const QString &name, const QString &guid) const
{
    // The kernel mirrors shim's variables here, whole and without attributes.
    QByteArray variable;
    if (readFile(m_efi + QStringLiteral("/mok-variables/") + name, &variable)) {
        return variable;
    }
    // efivarfs puts the variable's four bytes of attributes first.
    readFile(QStringLiteral("%1/efivars/%2-%3").arg(m_efi, name, guid), &variable);
    return variable.size() > 4 ? variable.mid(4) : QByteArray();
}

QList<Certificate> SecureBoot::certificatesOfSignatureLists(const QByteArray &lists)
{
    // EFI_SIGNATURE_LIST: type (GUID), list size, header size, signature size,
    // the header, then entries of an owner GUID and the signature data.
    constexpr int listHeader = 28;
    QList<Certificate> certificates;
    qint64 offset = 0;
    while (lists.size() - offset >= listHeader) {
        const char *list = lists.constData() + offset;
        const quint32 listSize = qFromLittleEndian<quint32>(list + 16);
        const quint32 headerSize = qFromLittleEndian<quint32>(list + 20);
        const quint32 entrySize = qFromLittleEndian<quint32>(list + 24);
        if (listSize < listHeader || listSize > lists.size() - offset || headerSize > listSize - listHeader || entrySize <= 16) {
            break;
        }
        if (std::memcmp(list, x509Type, 16) == 0) {
            for (qint64 entry = listHeader + headerSize; entry + entrySize <= listSize; entry += entrySize) {
                const Certificate certificate = Certificate::parse(QByteArray(list + entry + 16, int(entrySize - 16)));
                if (!certificate.isNull()) {
                    certificates.append(certificate);
                }
            }
        }
        offset += listSize;
    }
    return certificates;
}

bool SecureBoot::isEnrolled(const KeyIdentity &key) const
{
    for (const Certificate &certificate : m_enrolled) {
        if (key.matches(certificate.identity)) {
            return true;
        }
    }
    return false;
}

bool SecureBoot::dkmsKeyEnrolled() const
{
    return dkmsKeyExists() && isEnrolled(m_dkmsKey.identity);
}

SecureBoot::ModuleCheck SecureBoot::check(const QString &modulePath) const
{
    ModuleCheck result;
    result.signature = ModuleSignature::read(modulePath);
    if (m_state == State::Unknown) {
        return result;
    }
    if (!enforcing()) {
        result.verdict = Verdict::NotEnforced;
        return result;
    }
    switch (result.signature.status) {
    case ModuleSignature::Status::Missing:
    case ModuleSignature::Status::Unreadable:
    case ModuleSignature::Status::Damaged:
        // The kernel may read what we cannot: say nothing rather than something wrong.
        result.verdict = Verdict::Unknown;
        return result;
    case ModuleSignature::Status::Unsigned:
        result.verdict = Verdict::Unsigned;
        return result;
    case ModuleSignature::Status::Signed:
        break;
    }
    if (!m_kernelSignatureRead) {
        // Every module of the kernel's own package is signed with the key built
        // into that kernel; DKMS puts its modules elsewhere (updates/dkms).
        m_kernelSignatureRead = true;
        QStringList patterns;
        for (const QString &suffix : ModuleFile::suffixes()) {
            patterns.append(QLatin1Char('*') + suffix);
        }
        QDirIterator modules(m_moduleRoot + QStringLiteral("/kernel"), patterns, QDir::Files, QDirIterator::Subdirectories);
        if (modules.hasNext()) {
            m_kernelSignature = ModuleSignature::read(modules.next());
        }
    }
    const KeyIdentity &key = result.signature.key;
    if (m_kernelSignature.status == ModuleSignature::Status::Signed && key.matches(m_kernelSignature.key)) {
        result.verdict = Verdict::KernelKey;
    } else if (isEnrolled(key)) {
        result.verdict = Verdict::EnrolledKey;
    } else if (dkmsKeyExists() && key.matches(m_dkmsKey.identity)) {
        result.verdict = Verdict::DkmsKeyNotEnrolled;
    } else {
        result.verdict = Verdict::KeyNotEnrolled;
    }
    return result;
}

QString SecureBoot::dkmsKeyPath()
{
    return QStringLiteral("/var/lib/dkms/mok.pub");
}

QString SecureBoot::enrollCommand()
{
    return QStringLiteral("mokutil --import ") + dkmsKeyPath();
}
