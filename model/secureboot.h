// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "modulesignature.h"

#include <QList>
#include <QString>

// Whether the kernel will load a module under the machine's Secure Boot state,
// told from files only, without root and without starting a program: the EFI
// variables of the firmware and of shim, the module's appended signature, the
// kernel's own signing key and DKMS's key.
//
// With Secure Boot enforcing, Debian's kernel loads a module only when it is
// signed by a key the kernel trusts: its own build key (which signs the modules
// of its package) or a key enrolled in shim's MOK list. DKMS signs what it
// builds with /var/lib/dkms/mok.pub, which the user enrolls once with mokutil.
//
// root prefixes every system path; it is empty for the real system.
class SecureBoot
{
public:
    enum class State {
        NoEfi, // a BIOS machine, or EFI without runtime services
        Unknown, // EFI, but its variables cannot be read
        Off,
        ValidationDisabled, // on in the firmware, but shim's validation is off
        Enforcing,
    };

    enum class Verdict {
        NotEnforced, // loads: Secure Boot does not check modules here
        KernelKey, // loads: signed by the running kernel's own key
        EnrolledKey, // loads: signed by a key of the MOK list
        Unsigned,
        DkmsKeyNotEnrolled, // signed by DKMS's key, which is not enrolled
        KeyNotEnrolled, // signed by some other key that is not enrolled
        Unknown, // the module file or its signature cannot be read
    };

    struct ModuleCheck {
        Verdict verdict = Verdict::Unknown;
        ModuleSignature signature;
    };

    // moduleRoot is the running kernel's module tree (root included); by default
    // the one below root that the GPU enumeration walks.
    explicit SecureBoot(const QString &root, const QString &moduleRoot = QString());

    State state() const
    {
        return m_state;
    }
    bool enforcing() const
    {
        return m_state == State::Enforcing;
    }
    // DKMS's certificate exists / is in the MOK list.
    bool dkmsKeyExists() const
    {
        return !m_dkmsKey.isNull();
    }
    bool dkmsKeyEnrolled() const;

    ModuleCheck check(const QString &modulePath) const;
    static bool refused(Verdict verdict)
    {
        return verdict == Verdict::Unsigned || verdict == Verdict::DkmsKeyNotEnrolled || verdict == Verdict::KeyNotEnrolled;
    }

    static QString dkmsKeyPath();
    // The command that enrolls DKMS's key (to be confirmed at the next boot).
    static QString enrollCommand();

    // The X.509 certificates of an EFI_SIGNATURE_LIST array, as MokListRT holds
    // them; hashes and malformed lists are left out.
    static QList<Certificate> certificatesOfSignatureLists(const QByteArray &lists);

private:
    QByteArray readVariable(const QString &name, const QString &guid) const;
    bool isEnrolled(const KeyIdentity &key) const;

    QString m_efi;
    QString m_moduleRoot;
    State m_state = State::NoEfi;
    QList<Certificate> m_enrolled;
    Certificate m_dkmsKey;
    mutable ModuleSignature m_kernelSignature;
    mutable bool m_kernelSignatureRead = false;
};
